#include <gtest/gtest.h>

#include <QString>

#include "tools/RegFile.h"

using regfile::Parse;
using Bytes = std::vector<BYTE>;

namespace {

// A version 5 file as Windows writes it: UTF-16LE after a byte-order mark.
std::string utf16File(const char* utf8)
{
    QString text = QString::fromUtf8(utf8);
    std::string out = "\xFF\xFE";
    for (QChar c : text) {
        out += static_cast<char>(c.unicode() & 0xFF);
        out += static_cast<char>(c.unicode() >> 8);
    }
    return out;
}

std::string fromUtf16File(const std::string& bytes)
{
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.data() + 2), (bytes.size() - 2) / 2)
        .toStdString();
}

// Whether a file is UTF-16LE with a byte-order mark and no unpaired surrogate.
bool isValidUtf16File(const std::string& bytes)
{
    if (bytes.size() % 2 != 0 || bytes.compare(0, 2, "\xFF\xFE") != 0)
        return false;
    bool wantLow = false;
    for (std::size_t i = 2; i < bytes.size(); i += 2) {
        const unsigned c = static_cast<BYTE>(bytes[i]) | static_cast<BYTE>(bytes[i + 1]) << 8;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (wantLow != low)
            return false;
        wantLow = c >= 0xD800 && c <= 0xDBFF;
    }
    return !wantLow;
}

Bytes sz(const std::string& s)
{
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

// A path `levels` deep, with its leading backslash.
std::string deep(std::size_t levels)
{
    std::string path;
    for (std::size_t i = 0; i < levels; ++i)
        path += "\\k";
    return path;
}

struct Op {
    RegBatchOp::Kind kind;
    HKEY root;
    std::string key, name;
    DWORD type;
    Bytes data;
};

void expectOps(const std::vector<RegBatchOp>& got, const std::vector<Op>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].kind, want[i].kind);
        EXPECT_EQ(got[i].root, want[i].root);
        EXPECT_EQ(got[i].key, want[i].key);
        EXPECT_EQ(got[i].name, want[i].name);
        EXPECT_EQ(got[i].type, want[i].type);
        EXPECT_EQ(got[i].data, want[i].data);
    }
}

}  // namespace

TEST(RegFile, ReadsAHandWrittenVersion5FileWithByteOrderMark)
{
    auto r = Parse(utf16File("Windows Registry Editor Version 5.00\r\n"
                             "\r\n"
                             "; settings brought over\r\n"
                             "[HKEY_CURRENT_USER\\Software\\Marbleglen]\r\n"
                             "\"txtImageCaption1\"=\"Caf\xC3\xA9 \\\"2025\\\"\"\r\n"
                             "@=\"C:\\\\Photos\"\r\n"
                             "\"n\" = dword:0000000A ; ten\r\n"
                             "\"e\"=hex(2):25,00,48,00,4f,00,\\\r\n"
                             "  4d,00,45,00,25,00,00,00\r\n"
                             "\"m\"=hex(7):61,00,00,00,e9,00,00,00,00,00\r\n"
                             "\"b\"=hex:\r\n"
                             "\"q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                             "\"old\"=-\r\n"
                             "\r\n"
                             "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.jpg]\r\n"));
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    const HKEY cu = HKEY_CURRENT_USER;
    const std::string k = "Software\\Marbleglen";
    expectOps(r.ops, {
                         {RegBatchOp::CreateKey, cu, k, "", 0, {}},
                         {RegBatchOp::SetValue, cu, k, "txtImageCaption1", REG_SZ, sz("Caf\xC3\xA9 \"2025\"")},
                         {RegBatchOp::SetValue, cu, k, "", REG_SZ, sz("C:\\Photos")},
                         {RegBatchOp::SetValue, cu, k, "n", REG_DWORD, {10, 0, 0, 0}},
                         {RegBatchOp::SetValue, cu, k, "e", REG_EXPAND_SZ, sz("%HOME%")},
                         {RegBatchOp::SetValue, cu, k, "m", REG_MULTI_SZ, Bytes{'a', 0, 0xC3, 0xA9, 0, 0}},
                         {RegBatchOp::SetValue, cu, k, "b", REG_BINARY, {}},
                         {RegBatchOp::SetValue, cu, k, "q", 11, {1, 0, 0, 0, 0, 0, 0, 0}},
                         {RegBatchOp::DeleteValue, cu, k, "old", 0, {}},
                         {RegBatchOp::DeleteTree, HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\.jpg", "", 0, {}},
                     });
}

TEST(RegFile, ReadsARegedit4FileAsEightBitText)
{
    auto r = Parse("REGEDIT4\n\n[HKEY_CLASSES_ROOT\\.jpg]\n@=\"jpegfile\"\n"
                   "\"x\"=hex(2):25,48,25,00\n[HKCU\\A\\B\\]\n");
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    expectOps(r.ops, {
                         {RegBatchOp::CreateKey, HKEY_CLASSES_ROOT, ".jpg", "", 0, {}},
                         {RegBatchOp::SetValue, HKEY_CLASSES_ROOT, ".jpg", "", REG_SZ, sz("jpegfile")},
                         {RegBatchOp::SetValue, HKEY_CLASSES_ROOT, ".jpg", "x", REG_EXPAND_SZ, sz("%H%")},
                         {RegBatchOp::CreateKey, HKEY_CURRENT_USER, "A\\B", "", 0, {}},
                     });
}

// A REGEDIT4 file is 8-bit text: UTF-8 when the whole file is valid UTF-8,
// otherwise Windows-1252 or the code page asked for; its hex strings are read
// as its text.
TEST(RegFile, Regedit4TextIsUtf8OrWindows1252)
{
    struct Case {
        std::string file, key, name;
        DWORD type;
        Bytes data;
        std::string codePage = {};
    };
    std::vector<Case> cases = {
        {"REGEDIT4\r\n\r\n[HKCU\\Caf\xE9]\r\n\"E\"=\"caf\xE9 \x80 \x93q\x94\"\r\n", "Caf\xC3\xA9", "E", REG_SZ,
         sz("caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D")},
        {"REGEDIT4\r\n\r\n[HKCU\\Caf\xC3\xA9]\r\n\"E\"=\"caf\xC3\xA9\"\r\n", "Caf\xC3\xA9", "E", REG_SZ, sz("caf\xC3\xA9")},
        {"\xEF\xBB\xBFREGEDIT4\n[HKCU\\K]\n\"\xE2\x82\xAC\"=\"\"\n", "K", "\xE2\x82\xAC", REG_SZ, sz("")},
        // One stray byte makes the whole file Windows-1252.
        {"REGEDIT4\n[HKCU\\K]\n\"\xC3\xA9\"=\"\xE9\"\n", "K", "\xC3\x83\xC2\xA9", REG_SZ, sz("\xC3\xA9")},
        {"REGEDIT4\n[HKCU\\K]\n\"x\"=hex(2):25,e9,25,00\n", "K", "x", REG_EXPAND_SZ, sz("%\xC3\xA9%")},
        {"REGEDIT4\n[HKCU\\K]\n\"x\"=hex(7):c3,a9,00,00\n", "K", "x", REG_MULTI_SZ, {0xC3, 0xA9, 0, 0}},
        {"REGEDIT4\n[HKCU\\K\xE9]\n\"x\"=hex(1):c3,a9,00\n", "K\xC3\xA9", "x", REG_SZ, sz("\xC3\x83\xC2\xA9")},
        {"REGEDIT4\n[HKCU\\K\xE9]\n\"x\"=hex:e9\n", "K\xC3\xA9", "x", REG_BINARY, {0xE9}},
        {"REGEDIT4\n[HKCU\\K]\n\"\xCF\xF0\xE8\"=\"\xE2\xE5\xF2\"\n", "K", "\xD0\x9F\xD1\x80\xD0\xB8", REG_SZ,
         sz("\xD0\xB2\xD0\xB5\xD1\x82"), "CP1251"},
        {"REGEDIT4\n[HKCU\\K\xCF]\n\"x\"=hex(2):e2,e5,f2,00\n", "K\xD0\x9F", "x", REG_EXPAND_SZ,
         sz("\xD0\xB2\xD0\xB5\xD1\x82"), "CP1251"},
        {"REGEDIT4\n[HKCU\\K]\n\"n\"=\"\x93\xFA\x95\x5C\"\n", "K", "n", REG_SZ, sz("\xE6\x97\xA5\xE8\xA1\xA8"), "CP932"},
    };
    // One byte of TSCII is up to four characters, twelve bytes of UTF-8.
    std::string tscii;
    for (int i = 0; i < 40; ++i)
        tscii += "\xE0\xAE\xB8\xE0\xAF\x8D\xE0\xAE\xB0\xE0\xAF\x80";
    cases.push_back({"REGEDIT4\n[HKCU\\K]\n@=\"" + std::string(40, '\x82') + "\"\n", "K", "", REG_SZ, sz(tscii), "TSCII"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        auto r = Parse(c.file, c.codePage);
        ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
        expectOps(r.ops, {{RegBatchOp::CreateKey, HKEY_CURRENT_USER, c.key, "", 0, {}},
                          {RegBatchOp::SetValue, HKEY_CURRENT_USER, c.key, c.name, c.type, c.data}});
    }
    // A byte sequence the code page does not have names its line.
    auto r = Parse("REGEDIT4\n[HKCU\\K]\n\"n\"=\"\x81\"\n", "CP932");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.line, 3);
    EXPECT_EQ(r.message, "the line is not text in code page CP932");
}

TEST(RegFile, ABrokenFileNamesItsLine)
{
    const std::string v5 = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\K]\n";
    const std::string nul(1, '\0');
    // A stray byte 0xE9 as an unpaired surrogate (U+DCE9) in place of the file's first é.
    auto utf16WithStrayByte = [](const std::string& utf8) {
        std::string file = utf16File(utf8.c_str());
        file[file.find(std::string("\xE9\0", 2), 2) + 1] = '\xDC';
        return file;
    };
    struct Case {
        std::string text;
        int line;
        const char* says;
    } cases[] = {
        {"", 1, "empty"},
        {"\n\nREGEDIT5\n", 3, "does not begin"},
        {"REGEDIT4\n\"a\"=\"b\"\n", 2, "must follow a key"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\K\n", 2, "closing ']'"},
        {"REGEDIT4\n[HKEY_USERS\\K]\n", 2, "does not begin with HKEY_"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\a\\\\b]\n", 2, "empty or longer"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\" + std::string(256, 'k') + "]\n", 2, "empty or longer"},
        {"REGEDIT4\n[HKEY_CURRENT_USER" + deep(kMaxKeyDepth + 1) + "]\n", 2, regfile::kKeyTooDeep},
        {"REGEDIT4\n[-HKEY_CURRENT_USER" + deep(kMaxKeyDepth + 1) + "]\n", 2, regfile::kKeyTooDeep},
        {v5 + "\"a\"=\"C:\\Photos\"\n", 4, "backslash in quotes"},
        {v5 + "\"a\"=\"open\n", 4, "no closing quote"},
        {v5 + "\"a\"\n", 4, "'=' expected"},
        {v5 + "\"a\"=dword:123456789\n", 4, "too many hex digits"},
        {v5 + "\"a\"=dword:\n", 4, "no hex digits"},
        {v5 + "\"a\"=hex:01,zz\n", 4, "no hex digits"},
        {v5 + "\"a\"=hex:01,\\\n  02,\\\n  zz\n", 6, "holds no hex data"},
        {v5 + "\"a\"=hex(2):41\n", 4, "even number"},
        {v5 + "\"a\"=hex(7:00\n", 4, "')' expected"},
        {v5 + "\"a\"=\"b\" c\n", 4, "unexpected text"},
        {v5 + "\"a\"=text\n", 4, "neither -, a quoted"},
        {v5 + "\n\nnonsense\n", 6, "neither a key"},
        {v5 + "[-HKEY_CURRENT_USER\\K]\n\"a\"=\"b\"\n", 5, "must follow a key"},
        {"\xFF\xFE" "R\0E\0G\0", 1, "middle of a UTF-16"},
        // A backslash continues hex data only, and a continued value must go on.
        {v5 + "\"a\"=hex:01,\\\n\"b\"=\"x\"\n", 5, "holds no hex data"},
        {v5 + "\"a\"=hex:01,\\\n\n\"b\"=\"x\"\n", 5, "holds no hex data"},
        {v5 + "\"a\"=hex:01,\\\n; 02\n", 5, "holds no hex data"},
        {v5 + "\"a\"=hex:01,\\", 4, "file ends after"},
        {v5 + "\"a\"=hex:01,\\ 02\n", 4, "must end the line"},
        {v5 + "\"a\"=hex:01\\\n,02\n", 4, "unexpected text"},
        {v5 + "\"a\"=dword:00000001\\\n\"b\"=\"x\"\n", 4, "unexpected text"},
        {v5 + "\"a\"=\"x\"\\\n\"b\"=\"x\"\n", 4, "unexpected text"},
        {v5 + "\"a\"=\"x\\\n\"b\"=\"x\"\n", 4, "backslash in quotes"},
        {v5 + "; a comment \\\n  that goes on\n", 5, "neither a key"},
        {v5 + "[HKEY_CURRENT_USER\\Software\\\nMarbleglen]\n", 4, "closing ']'"},
        // Deleting a root, in any spelling of it.
        {v5 + "[-HKEY_CURRENT_USER]\n", 4, regfile::kRootNotDeletable},
        {v5 + "[-hkcu\\]\n", 4, regfile::kRootNotDeletable},
        {v5 + "[-HKLM\\\\]\n", 4, regfile::kRootNotDeletable},
        {"REGEDIT4\n[-HKEY_CLASSES_ROOT]\n", 2, regfile::kRootNotDeletable},
        // Names are UTF-8 text without control characters: a NUL would cut the
        // name short in the store, a line break could not be written back.
        {"REGEDIT4\n[-HKEY_CURRENT_USER\\" + nul + "]\n", 2, "key name holds a NUL"},
        {"REGEDIT4\n[HKCU\\Software\\Marbleglen" + nul + "Elsewhere]\n", 2, "key name holds a NUL"},
        {v5 + "\"a" + nul + "b\"=\"x\"\n", 4, "value name holds a NUL"},
        {v5 + "@=\"x\"\n\"" + nul + "\"=-\n", 5, "value name holds a NUL"},
        {v5 + "[HKEY_CURRENT_USER\\a\rb]\n", 4, "key name holds a control character"},
        {v5 + "[-HKEY_CURRENT_USER\\\x1b[2J]\n", 4, "key name holds a control character"},
        {v5 + "\"a\rb\"=\"x\"\n", 4, "value name holds a control character"},
        {v5 + "\"\tb\"=dword:1\n", 4, "value name holds a control character"},
        {v5 + "\"\xC2\x9B\"=\"x\"\n", 4, "value name holds a control character"},
        {v5 + "\"\x7f\"=\"x\"\n", 4, "value name holds a control character"},
        {utf16WithStrayByte(v5 + "\"caf\xC3\xA9\"=\"x\"\n"), 4, "value name is not UTF-8"},
        {utf16WithStrayByte(v5 + "[HKCU\\caf\xC3\xA9]\n"), 4, "key name is not UTF-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto r = Parse(c.text);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.line, c.line);
        EXPECT_NE(r.message.find(c.says), std::string::npos) << r.message;
        EXPECT_TRUE(r.ops.empty());
    }
}

// Each case: the lines after a key line, and the value names read from them.
TEST(RegFile, OnlyHexDataGoesOnInTheNextLine)
{
    struct Case {
        std::string body;
        std::vector<std::string> names;
    } cases[] = {
        {"; photos were in C:\\Photos\\\n\"varImagePath1\"=\"/p\"\n", {"varImagePath1"}},
        {"\"a\"=\"C:\\\\\" ; was C:\\\n\"b\"=\"2\"\n", {"a", "b"}},
        {"\"a\"=hex:01,02 ; ends in \\\n\"b\"=dword:00000002 ; \\\n@=-\n", {"a", "b", ""}},
    };
    const std::string head = "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        auto r = Parse(head + c.body);
        ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
        std::vector<std::string> names;
        for (std::size_t i = 1; i < r.ops.size(); ++i)
            names.push_back(r.ops[i].name);
        EXPECT_EQ(names, c.names);
    }
    auto r = Parse(head + "\"h\"=hex:\\\n  01,\\\n\t02 , \\\n  03\n\"n\"=\"x\"\n");
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    ASSERT_EQ(r.ops.size(), 3u);
    EXPECT_EQ(r.ops[1].data, (Bytes{1, 2, 3}));
    EXPECT_EQ(r.ops[2].name, "n");
}

TEST(RegFile, WritesTheVersion5FormatAsWindowsDoes)
{
    std::vector<regfile::Key> keys = {
        {"HKEY_CURRENT_USER\\Software\\Marbleglen",
         {
             {"txtImageCaption1", REG_SZ, sz("Summer \"25\" C:\\x")},
             {"", REG_SZ, sz("")},
             {"n", REG_DWORD, {10, 0, 0, 0}},
             {"e", REG_EXPAND_SZ, sz("%A%")},
             {"m", REG_MULTI_SZ, {'a', 0, 0}},
             {"none", REG_NONE, {}},
             {"be", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}},
             {"odd", REG_SZ, {'x'}},
             {"long", REG_BINARY, Bytes(30, 0xAB)},
         }},
        {"HKEY_CURRENT_USER\\Software\\Marbleglen\\Empty", {}},
    };
    std::string out, error;
    ASSERT_TRUE(regfile::Format(keys, out, error)) << error;
    std::string longLine = "\"long\"=hex:";
    for (int i = 0; i < 22; ++i)
        longLine += "ab,";
    longLine += "\\\r\n  ab,ab,ab,ab,ab,ab,ab,ab";
    EXPECT_EQ(fromUtf16File(out), "Windows Registry Editor Version 5.00\r\n\r\n"
                                  "[HKEY_CURRENT_USER\\Software\\Marbleglen]\r\n"
                                  "\"txtImageCaption1\"=\"Summer \\\"25\\\" C:\\\\x\"\r\n"
                                  "@=\"\"\r\n"
                                  "\"n\"=dword:0000000a\r\n"
                                  "\"e\"=hex(2):25,00,41,00,25,00,00,00\r\n"
                                  "\"m\"=hex(7):61,00,00,00,00,00\r\n"
                                  "\"none\"=hex(0):\r\n"
                                  "\"be\"=hex(5):00,00,00,01\r\n"
                                  "\"odd\"=hex(1):78,00\r\n" +
                                      longLine +
                                      "\r\n\r\n"
                                      "[HKEY_CURRENT_USER\\Software\\Marbleglen\\Empty]\r\n\r\n");

    // Names import refuses are not written either, for a key or a value.
    const std::string names[] = {"two\nlines", "a\rb", "\x1b[2J", "a\tb", "\x7f", "\xC2\x9B", "caf\xE9", {"a\0b", 3}};
    for (const std::string& bad : names) {
        SCOPED_TRACE(bad);
        auto named = keys;
        named[0].values[0].name = bad;
        EXPECT_FALSE(regfile::Format(named, out, error));
        EXPECT_NE(error.find("the value name"), std::string::npos) << error;
        named = keys;
        named[1].name += "\\" + bad;
        EXPECT_FALSE(regfile::Format(named, out, error));
        EXPECT_NE(error.find("the key name"), std::string::npos) << error;
    }
}

// Whatever the store holds comes back byte for byte, even data that is not
// UTF-8, in a file that is valid UTF-16.
TEST(RegFile, WritingThenReadingGivesTheSameBytes)
{
    const std::vector<regfile::Value> values = {
        {"sz", REG_SZ, sz("Caf\xC3\xA9 \xF0\x9F\x93\xB7")},
        {"", REG_SZ, sz("default")},
        {"sz with NUL", REG_SZ, {'a', 0, 'b', 0}},
        {"sz no NUL", REG_SZ, {'a', 'b'}},
        {"latin1", REG_SZ, sz("\xE9t\xE9")},
        {"caf\xC3\xA9 \xF0\x9F\x93\xB7", REG_MULTI_SZ, {0xE9, 0, 'a', 0, 0}},
        {"crlf", REG_SZ, sz("a\r\nb")},
        {"expand", REG_EXPAND_SZ, sz("%HOME%/x")},
        {"expand odd", REG_EXPAND_SZ, {0xFF, 0xC3}},
        {"multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
        {"bin", REG_BINARY, Bytes(100, 7)},
        {"bin empty", REG_BINARY, {}},
        {"dword", REG_DWORD, {1, 2, 3, 4}},
        {"dword short", REG_DWORD, {1}},
        {"big", REG_DWORD_BIG_ENDIAN, {1, 2, 3, 4}},
        {"none", REG_NONE, {1}},
        {"link", REG_LINK, {1, 2, 3}},
        {"qword", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"high", 0x80000000u, {9}},
        {"quote\"back\\slash", REG_SZ, sz("\"\\")},
    };
    std::string out, error;
    ASSERT_TRUE(regfile::Format({{"HKEY_LOCAL_MACHINE\\K\\\xC3\xA9", values}}, out, error)) << error;
    EXPECT_TRUE(isValidUtf16File(out));
    auto r = Parse(out);
    ASSERT_TRUE(r.ok) << r.line << ": " << r.message;
    ASSERT_EQ(r.ops.size(), values.size() + 1);
    EXPECT_EQ(r.ops[0].key, "K\\\xC3\xA9");
    for (std::size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(values[i].name);
        EXPECT_EQ(r.ops[i + 1].name, values[i].name);
        EXPECT_EQ(r.ops[i + 1].type, values[i].type);
        EXPECT_EQ(r.ops[i + 1].data, values[i].data);
    }
}
