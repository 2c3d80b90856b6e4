#include "tools/RegFile.h"

#include <algorithm>
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

// A REG_SZ written as "text": exactly one NUL, at the end, and no line break.
bool isPlainString(const std::vector<BYTE>& d)
{
    if (d.empty() || d.back() != 0)
        return false;
    std::string body(d.begin(), d.end() - 1);
    return body.find('\0') == std::string::npos && !hasLineBreak(body);
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

// Splits the file into lines of UTF-8 text, decoding UTF-16LE after a byte-order mark.
std::vector<Line> splitLines(const std::string& bytes)
{
    std::vector<Line> lines;
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
        return lines;
    }
    std::size_t start = 0;
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    int number = 1;
    while (true) {
        std::size_t end = bytes.find('\n', start);
        lines.push_back({number++, rtrim(bytes.substr(start, end == std::string::npos ? end : end - start))});
        if (end == std::string::npos)
            return lines;
        start = end + 1;
    }
}

class Parser {
public:
    explicit Parser(std::vector<Line> lines) : lines_(std::move(lines)) {}

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
        } else {
            fail("the value data is neither -, a quoted text, dword: nor hex:");
        }
        i = skipSpaces(s, i);
        if (i < s.size() && s[i] != ';')
            fail("unexpected text after the value data");
        ops_.push_back(std::move(op));
    }

    std::vector<Line> lines_;
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

bool Format(const std::vector<Key>& keys, std::string& out, std::string& error)
{
    std::string text = std::string(kVersion5) + "\r\n\r\n";
    for (const auto& k : keys) {
        if (hasLineBreak(k.name)) {
            error = "the key name holds a line break: " + k.name;
            return false;
        }
        text += "[" + k.name + "]\r\n";
        for (const auto& v : k.values) {
            if (hasLineBreak(v.name)) {
                error = "the value name holds a line break: " + k.name + " " + v.name;
                return false;
            }
            text += valueLine(v) + "\r\n";
        }
        text += "\r\n";
    }
    std::u16string u = Utf8ToUtf16(text);
    out.assign("\xFF\xFE");
    out.reserve(2 + u.size() * 2);
    for (char16_t c : u) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return true;
}

ParseResult Parse(const std::string& bytes)
{
    ParseResult r;
    try {
        r.ops = Parser(splitLines(bytes)).run();
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

}  // namespace regfile
