#include "tools/TerminalText.h"

#include <cstdio>

#include "tools/RegFile.h"

namespace terminaltext {

std::string EscapeControls(const std::string& s)
{
    // Bytes that are not UTF-8 come back from the conversion as U+DC80-U+DCFF.
    const std::u16string u = regfile::Utf8ToUtf16(s);
    std::u16string kept;
    std::string out;
    auto flush = [&] {
        std::string text;
        regfile::Utf16ToUtf8(kept, text);
        out += text;
        kept.clear();
    };
    char buf[8];
    for (char16_t c : u) {
        if ((c < 0x20 && c != u'\t') || c == 0x7F || (c >= 0xDC80 && c <= 0xDC9F))
            std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c & 0xFF));
        else if (c >= 0x80 && c <= 0x9F)
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
        else {
            kept += c;
            continue;
        }
        flush();
        out += buf;
    }
    flush();
    return out;
}

}  // namespace terminaltext
