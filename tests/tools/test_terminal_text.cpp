#include <gtest/gtest.h>

#include "tools/TerminalText.h"

TEST(TerminalText, ShowsControlCharactersAsEscapes)
{
    struct Case {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"C:\\Photos\\x1b\tCaf\xC3\xA9 \xF0\x9F\x93\xB7", "C:\\Photos\\x1b\tCaf\xC3\xA9 \xF0\x9F\x93\xB7"},
        {std::string("\0\x01\n\r\x1b[2J\x1f\x7f", 10), "\\x00\\x01\\x0a\\x0d\\x1b[2J\\x1f\\x7f"},
        {"\xC2\x80|\xC2\x9B|\xC2\x9F|\xC2\xA0", "\\u0080|\\u009b|\\u009f|\xC2\xA0"},
        // Bytes that are not UTF-8: 0x80-0x9F are C1 controls to an 8-bit terminal.
        {"\x80\x9B\x9F\xA0\xFF\xC3", "\\x80\\x9b\\x9f\xA0\xFF\xC3"},
        {"\xE2\x80\x9B|\xED\xA0\x80", "\xE2\x80\x9B|\xED\xA0\\x80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(terminaltext::EscapeControls(c.in), c.out);
    }
}
