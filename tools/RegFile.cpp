#include "tools/RegFile.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "settings/Text.h"

namespace regfile {

namespace {

constexpr const char* kVersion5 = "Windows Registry Editor Version 5.00";
constexpr const char* kVersion4 = "REGEDIT4";
constexpr std::size_t kWrapColumn = 76;

struct RootAlias {
    const char* longName;
    const char* shortName;
    HKEY root;
};
constexpr RootAlias kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
};

bool equalsNoCase(const std::string& a, const char* b) { return EqualIgnoringAsciiCase(a, b); }

bool startsWithNoCase(const std::string& s, std::size_t pos, const char* prefix)
{
    std::size_t n = std::strlen(prefix);
    return s.size() - pos >= n && equalsNoCase(s.substr(pos, n), prefix);
}

// --- writing -------------------------------------------------------------

std::string quoted(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

bool hasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// A REG_SZ written as "text": UTF-8, exactly one NUL, at the end, and no line
// break. Anything else goes as hex, which carries any bytes.
bool isPlainString(const std::vector<BYTE>& d)
{
    if (d.empty() || d.back() != 0)
        return false;
    std::string body(d.begin(), d.end() - 1);
    return body.find('\0') == std::string::npos && !hasLineBreak(body) && IsUtf8(body);
}

std::vector<BYTE> utf16Bytes(const std::vector<BYTE>& d)
{
    std::u16string u = Utf8ToUtf16(std::string(d.begin(), d.end()));
    std::vector<BYTE> out;
    out.reserve(u.size() * 2);
    for (char16_t c : u) {
        out.push_back(static_cast<BYTE>(c & 0xFF));
        out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
}

std::string hexLine(std::string prefix, const std::vector<BYTE>& bytes)
{
    std::size_t col = Utf8ToUtf16(prefix).size();
    std::string out = std::move(prefix);
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        out += buf;
        col += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++col;
            if (col > kWrapColumn) {
                out += "\\\r\n  ";
                col = 2;
            }
        }
    }
    return out;
}

std::string valueLine(const Value& v)
{
    std::string name = v.name.empty() ? "@" : quoted(v.name);
    switch (v.type) {
    case REG_SZ:
        if (isPlainString(v.data))
            return name + "=" + quoted(std::string(v.data.begin(), v.data.end() - 1));
        return hexLine(name + "=hex(1):", utf16Bytes(v.data));
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
        return hexLine(name + "=hex(" + std::to_string(v.type) + "):", utf16Bytes(v.data));
    case REG_DWORD:
        if (v.data.size() == 4) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "dword:%08x",
                          v.data[0] | v.data[1] << 8 | v.data[2] << 16 | static_cast<unsigned>(v.data[3]) << 24);
            return name + "=" + buf;
        }
        break;
    case REG_BINARY:
        return hexLine(name + "=hex:", v.data);
    default:
        break;
    }
    char type[16];
    std::snprintf(type, sizeof type, "%x", v.type);
    return hexLine(name + "=hex(" + type + "):", v.data);
}

// --- reading -------------------------------------------------------------

struct Line {
    int number;
    std::string text;
};

class ParseError {
public:
    ParseError(int line, std::string message) : line(line), message(std::move(message)) {}
    int line;
    std::string message;
};

std::string rtrim(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.pop_back();
    return s;
}

std::size_t skipSpaces(const std::string& s, std::size_t i)
{
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    return i;
}

struct Text {
    std::vector<Line> lines;
    bool eightBit = false;  // 8-bit text that was not UTF-8, read in the code page
};

// 8-bit text as UTF-8: in a code page iconv knows, or in Windows-1252 when
// none is given. Fails on a byte sequence the code page does not have, with
// its offset in `bad`.
bool eightBitToUtf8(const std::string& codePage, const std::string& in, std::string& out, std::size_t& bad)
{
    if (codePage.empty()) {
        out = Windows1252ToUtf8(in);
        return true;
    }
    bad = 0;
    iconv_t cd = ::iconv_open("UTF-8", codePage.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    // Some code pages give several characters for one byte. When the room runs
    // out, start again with twice as much: iconv does not always resume such a
    // code page correctly.
    std::size_t srcLeft = in.size();
    bool ok = false;
    for (std::size_t room = in.size() * 4 + 16;; room *= 2) {
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
        out.assign(room, '\0');
        char* src = const_cast<char*>(in.data());
        srcLeft = in.size();
        char* dst = out.data();
        std::size_t dstLeft = out.size();
        // The second call gives what a code page with a state still holds back.
        ok = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1) &&
             ::iconv(cd, nullptr, nullptr, &dst, &dstLeft) != static_cast<std::size_t>(-1);
        out.resize(out.size() - dstLeft);
        if (ok || errno != E2BIG)
            break;
    }
    ::iconv_close(cd);
    bad = in.size() - srcLeft;
    return ok;
}

// Splits the file into lines of UTF-8 text, decoding UTF-16LE after a byte-order
// mark. 8-bit text is UTF-8 when the whole of it is valid UTF-8 (ASCII is both,
// and Western text in the Windows code page is almost never valid UTF-8 by
// chance); otherwise it is the Windows code page of Western Europe and the
// Americas, the one most REGEDIT4 files were written in, which also gives every
// byte a character.
Text splitLines(const std::string& bytes, const std::string& codePage)
{
    Text result;
    std::vector<Line>& lines = result.lines;
    if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0)
            throw ParseError(1, "the file ends in the middle of a UTF-16 character");
        std::u16string current;
        int number = 1;
        auto flush = [&] {
            std::string text;
            if (!Utf16ToUtf8(current, text))
                throw ParseError(number, "the line holds an unpaired UTF-16 surrogate");
            lines.push_back({number, rtrim(text)});
            current.clear();
            ++number;
        };
        for (std::size_t i = 2; i < bytes.size(); i += 2) {
            char16_t c = static_cast<char16_t>(static_cast<BYTE>(bytes[i]) | static_cast<BYTE>(bytes[i + 1]) << 8);
            if (c == u'\n')
                flush();
            else
                current += c;
        }
        flush();
        return result;
    }
    std::string text = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
    if (!IsUtf8(text)) {
        std::string decoded;
        std::size_t bad = 0;
        if (!eightBitToUtf8(codePage, text, decoded, bad)) {
            const auto breaks = std::count(text.begin(), text.begin() + static_cast<long>(bad), '\n');
            throw ParseError(1 + static_cast<int>(breaks), "the line is not text in code page " + codePage);
        }
        text = std::move(decoded);
        result.eightBit = true;
    }
    std::size_t start = 0;
    int number = 1;
    while (true) {
        std::size_t end = text.find('\n', start);
        lines.push_back({number++, rtrim(text.substr(start, end == std::string::npos ? end : end - start))});
        if (end == std::string::npos)
            return result;
        start = end + 1;
    }
}

class Parser {
public:
    Parser(Text text, std::string codePage)
        : lines_(std::move(text.lines)), eightBit_(text.eightBit), codePage_(std::move(codePage))
    {
    }

    std::vector<RegBatchOp> run()
    {
        std::size_t i = 0;
        while (i < lines_.size() && lines_[i].text.empty())
            ++i;
        if (i == lines_.size())
            throw ParseError(1, "the file is empty");
        const std::string& header = lines_[i].text;
        if (header == kVersion5)
            unicodeStrings_ = true;
        else if (header != kVersion4)
            throw ParseError(lines_[i].number, std::string("the file does not begin with \"") + kVersion5 +
                                                   "\" or \"" + kVersion4 + "\"");
        for (++i; i < lines_.size();) {
            next_ = i + 1;
            line_ = lines_[i].number;
            parseLine(lines_[i].text.substr(skipSpaces(lines_[i].text, 0)));
            i = next_;
        }
        return std::move(ops_);
    }

private:
    [[noreturn]] void fail(const std::string& message) const { throw ParseError(line_, message); }

    void parseLine(const std::string& text)
    {
        if (text.empty() || text[0] == ';')
            return;
        if (text[0] == '[')
            return parseKey(text);
        if (text[0] == '@' || text[0] == '"')
            return parseValue(text);
        fail("this line is neither a key, a value nor a comment");
    }

    void parseKey(const std::string& text)
    {
        if (text.back() != ']')
            fail("the key name has no closing ']'");
        std::string name = text.substr(1, text.size() - 2);
        bool remove = !name.empty() && name[0] == '-';
        if (remove)
            name.erase(0, 1);
        HKEY root = 0;
        std::string path;
        if (!SplitKeyName(name, root, path))
            fail("the key name does not begin with HKEY_CLASSES_ROOT, HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE");
        if (remove && path.empty())
            fail(kRootNotDeletable);
        checkPath(path);
        if (KeyDepth(path) > kMaxKeyDepth)
            fail(kKeyTooDeep);
        RegBatchOp op;
        op.kind = remove ? RegBatchOp::DeleteTree : RegBatchOp::CreateKey;
        op.root = root;
        op.key = path;
        ops_.push_back(op);
        haveKey_ = !remove;
        root_ = root;
        path_ = path;
    }

    void checkPath(const std::string& path)
    {
        std::size_t start = 0;
        while (start < path.size()) {
            std::size_t end = path.find('\\', start);
            if (end == std::string::npos)
                end = path.size();
            if (end == start || end - start > kMaxKeyNameLength)
                fail("a key name part is empty or longer than 255 characters");
            if (std::string problem = NameProblem(path.substr(start, end - start)); !problem.empty())
                fail("the key name " + problem);
            start = end + 1;
        }
    }

    std::string parseQuoted(const std::string& s, std::size_t& i)
    {
        std::string out;
        for (++i; i < s.size(); ++i) {
            char c = s[i];
            if (c == '"') {
                ++i;
                return out;
            }
            if (c == '\\') {
                if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"'))
                    fail("a backslash in quotes must be followed by \\ or \"");
                c = s[++i];
            }
            out += c;
        }
        fail("a quoted text has no closing quote");
    }

    static int hexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    // Up to maxDigits hex digits as a number; at least one.
    std::uint32_t parseHexNumber(const std::string& s, std::size_t& i, int maxDigits, const char* what)
    {
        std::uint32_t v = 0;
        int digits = 0;
        while (i < s.size() && hexDigit(s[i]) >= 0) {
            if (++digits > maxDigits)
                fail(std::string("the ") + what + " has too many hex digits");
            v = v << 4 | static_cast<std::uint32_t>(hexDigit(s[i++]));
        }
        if (digits == 0)
            fail(std::string("the ") + what + " has no hex digits");
        return v;
    }

    // Hex data is the only thing that goes on in the next line: a backslash
    // that ends the data part of a line (not a comment) continues it, and the
    // next line must then hold more bytes. `s` becomes the line the data ends in.
    std::vector<BYTE> parseHexBytes(std::string& s, std::size_t& i)
    {
        std::vector<BYTE> out;
        while (true) {
            i = skipSpaces(s, i);
            if (i < s.size() && s[i] == '\\') {
                if (i + 1 != s.size())
                    fail("a backslash in hex data must end the line");
                continueHexLine(s, i);
            }
            if (i >= s.size() || s[i] == ';')
                return out;  // no bytes, or a trailing comma
            out.push_back(static_cast<BYTE>(parseHexNumber(s, i, 2, "byte")));
            i = skipSpaces(s, i);
            if (i >= s.size() || s[i] != ',')
                return out;
            ++i;
        }
    }

    void continueHexLine(std::string& s, std::size_t& i)
    {
        if (next_ >= lines_.size())
            fail("the file ends after a line that goes on with a backslash");
        line_ = lines_[next_].number;
        s = lines_[next_++].text;
        i = skipSpaces(s, 0);
        if (i >= s.size() || hexDigit(s[i]) < 0)
            fail("the line before goes on with a backslash, but this line holds no hex data");
    }

    std::vector<BYTE> fromUtf16(const std::vector<BYTE>& b)
    {
        if (b.size() % 2 != 0)
            fail("string data in a version 5 file must be UTF-16: an even number of bytes");
        std::u16string u;
        for (std::size_t k = 0; k < b.size(); k += 2)
            u += static_cast<char16_t>(b[k] | b[k + 1] << 8);
        std::string text;
        if (!Utf16ToUtf8(u, text))
            fail("string data holds an unpaired UTF-16 surrogate");
        return std::vector<BYTE>(text.begin(), text.end());
    }

    // String data of a REGEDIT4 file is 8-bit text, read as the file's own text.
    std::vector<BYTE> fromEightBit(const std::vector<BYTE>& b) const
    {
        std::string text(b.begin(), b.end()), decoded;
        if (!eightBit_ && IsUtf8(text))
            return b;
        std::size_t bad = 0;
        if (!eightBitToUtf8(codePage_, text, decoded, bad))
            fail("the string data is not text in code page " + codePage_);
        return std::vector<BYTE>(decoded.begin(), decoded.end());
    }

    void parseValue(std::string s)
    {
        if (!haveKey_)
            fail("a value must follow a key line");
        RegBatchOp op;
        op.root = root_;
        op.key = path_;
        std::size_t i = 0;
        if (s[0] == '@')
            i = 1;
        else
            op.name = parseQuoted(s, i);
        if (op.name.size() > kMaxValueNameLength)
            fail("the value name is longer than 16383 characters");
        if (std::string problem = NameProblem(op.name); !problem.empty())
            fail("the value name " + problem);
        i = skipSpaces(s, i);
        if (i >= s.size() || s[i] != '=')
            fail("'=' expected after the value name");
        i = skipSpaces(s, i + 1);
        op.kind = RegBatchOp::SetValue;
        if (i < s.size() && s[i] == '-') {
            op.kind = RegBatchOp::DeleteValue;
            ++i;
        } else if (i < s.size() && s[i] == '"') {
            std::string text = parseQuoted(s, i);
            op.type = REG_SZ;
            op.data.assign(text.begin(), text.end());
            op.data.push_back(0);
        } else if (startsWithNoCase(s, i, "dword:")) {
            i += 6;
            std::uint32_t v = parseHexNumber(s, i, 8, "dword");
            op.type = REG_DWORD;
            op.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                       static_cast<BYTE>(v >> 24)};
        } else if (startsWithNoCase(s, i, "hex")) {
            i += 3;
            op.type = REG_BINARY;
            if (i < s.size() && s[i] == '(') {
                ++i;
                op.type = parseHexNumber(s, i, 8, "type");
                if (i >= s.size() || s[i] != ')')
                    fail("')' expected after the type");
                ++i;
            }
            if (i >= s.size() || s[i] != ':')
                fail("':' expected after hex");
            ++i;
            op.data = parseHexBytes(s, i);
            bool text = op.type == REG_SZ || op.type == REG_EXPAND_SZ || op.type == REG_MULTI_SZ;
            if (text && unicodeStrings_)
                op.data = fromUtf16(op.data);
            else if (text)
                op.data = fromEightBit(op.data);
        } else {
            fail("the value data is neither -, a quoted text, dword: nor hex:");
        }
        i = skipSpaces(s, i);
        if (i < s.size() && s[i] != ';')
            fail("unexpected text after the value data");
        ops_.push_back(std::move(op));
    }

    std::vector<Line> lines_;
    bool eightBit_ = false;
    std::string codePage_;
    std::size_t next_ = 0;  // the line after the one being read
    std::vector<RegBatchOp> ops_;
    int line_ = 0;
    bool unicodeStrings_ = false;
    bool haveKey_ = false;
    HKEY root_ = 0;
    std::string path_;
};

}  // namespace

bool SplitKeyName(const std::string& name, HKEY& root, std::string& path)
{
    std::size_t slash = name.find('\\');
    std::string first = name.substr(0, slash);
    for (const auto& r : kRoots) {
        if (equalsNoCase(first, r.longName) || equalsNoCase(first, r.shortName)) {
            root = r.root;
            path = slash == std::string::npos ? std::string() : name.substr(slash + 1);
            while (!path.empty() && path.back() == '\\')
                path.pop_back();
            return true;
        }
    }
    return false;
}

bool CodePageKnown(const std::string& codePage)
{
    iconv_t cd = ::iconv_open("UTF-8", codePage.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    ::iconv_close(cd);
    return true;
}

std::string NameProblem(const std::string& name)
{
    if (name.find('\0') != std::string::npos)
        return "holds a NUL character";
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    for (std::size_t i = 0; i < name.size();) {
        char32_t cp = 0;
        const int len = DecodeUtf8(p + i, name.size() - i, cp);
        if (len == 0)
            return "is not UTF-8 text";
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F))
            return "holds a control character";
        i += static_cast<std::size_t>(len);
    }
    return {};
}

std::size_t KeyDepth(const std::string& path)
{
    return path.empty() ? 0 : static_cast<std::size_t>(std::count(path.begin(), path.end(), '\\')) + 1;
}

std::string RootName(HKEY root)
{
    for (const auto& r : kRoots) {
        if (r.root == root)
            return r.longName;
    }
    return {};
}

bool Format(const std::vector<Key>& keys, std::string& out, std::string& error,
            std::string (*shown)(const std::string&))
{
    auto show = [shown](const std::string& name) { return shown ? shown(name) : name; };
    std::string text = std::string(kVersion5) + "\r\n\r\n";
    for (const auto& k : keys) {
        if (std::string problem = NameProblem(k.name); !problem.empty()) {
            error = "the key name " + show(k.name) + " " + problem + ", which import refuses; delete the key first";
            return false;
        }
        text += "[" + k.name + "]\r\n";
        for (const auto& v : k.values) {
            if (std::string problem = NameProblem(v.name); !problem.empty()) {
                error = "the value name " + show(v.name) + " in " + show(k.name) + " " + problem +
                        ", which import refuses; delete the value first";
                return false;
            }
            text += valueLine(v) + "\r\n";
        }
        text += "\r\n";
    }
    std::u16string u = Utf8ToUtf16(text);
    if (2 + u.size() * 2 > kMaxFileSize) {
        error = "the file would hold " + std::to_string(2 + u.size() * 2) + " bytes, more than the " +
                std::to_string(kMaxFileSize) + " bytes an import reads; export the keys below it one by one";
        return false;
    }
    out.assign("\xFF\xFE");
    out.reserve(2 + u.size() * 2);
    for (char16_t c : u) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return true;
}

ParseResult Parse(const std::string& bytes, const std::string& codePage)
{
    ParseResult r;
    try {
        r.ops = Parser(splitLines(bytes, codePage), codePage).run();
        r.ok = true;
    } catch (const ParseError& e) {
        r.line = e.line;
        r.message = e.message;
    }
    return r;
}

std::u16string Utf8ToUtf16(const std::string& s)
{
    std::u16string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    std::size_t i = 0;
    while (i < s.size()) {
        char32_t cp = 0;
        const int len = DecodeUtf8(p + i, s.size() - i, cp);
        if (len == 0) {
            out += static_cast<char16_t>(0xDC00 + p[i]);  // a byte that is not UTF-8
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += static_cast<std::size_t>(len);
    }
    return out;
}

bool Utf16ToUtf8(const std::u16string& s, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC80 && cp <= 0xDCFF) {
            out += static_cast<char>(cp - 0xDC00);
            continue;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            return false;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return true;
}

std::string Windows1252ToUtf8(const std::string& s)
{
    // 0x80-0x9F; the five bytes the code page leaves undefined become the C1
    // controls of the same number, as Windows converts them.
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    };
    std::u16string u;
    u.reserve(s.size());
    for (char c : s) {
        const auto b = static_cast<unsigned char>(c);
        u += b >= 0x80 && b <= 0x9F ? kHigh[b - 0x80] : static_cast<char16_t>(b);
    }
    std::string out;
    Utf16ToUtf8(u, out);
    return out;
}

}  // namespace regfile
