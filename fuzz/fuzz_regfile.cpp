// Feeds arbitrary bytes to the .reg reader. Whatever it accepts must survive
// being written out again and read back unchanged, must change every value its
// value lines name (a line swallowed by the one before is a lost setting), and
// must never delete a whole root. Every name it accepts is one the writer can
// write: UTF-8 text with no NUL or other control character, key names of
// non-empty parts of at most 255 bytes, at most 512 levels deep; and what the
// writer writes is valid UTF-16. A key deepened to exactly 512 levels is still
// read and comes back unchanged, and one level more is refused as too deep.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "settings/Text.h"
#include "tools/RegFile.h"

namespace {

[[noreturn]] void mismatch() { __builtin_trap(); }

// Checked here on its own terms, not with the reader's rule.
void checkName(const std::string& name)
{
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    for (std::size_t i = 0; i < name.size();) {
        char32_t cp = 0;
        const int len = DecodeUtf8(p + i, name.size() - i, cp);
        if (len == 0 || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F))
            mismatch();
        i += static_cast<std::size_t>(len);
    }
}

// Checks each part of the path; returns how many levels it names.
std::size_t checkKeyPath(const std::string& path)
{
    if (path.empty())
        return 0;
    std::size_t start = 0;
    for (std::size_t levels = 1;; ++levels) {
        std::size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() || part.size() > kMaxKeyNameLength)
            mismatch();
        checkName(part);
        if (end == std::string::npos) {
            if (levels > kMaxKeyDepth)
                mismatch();
            return levels;
        }
        start = end + 1;
    }
}

void checkUtf16(const std::string& bytes)
{
    if (bytes.size() % 2 != 0 || bytes.compare(0, 2, "\xFF\xFE") != 0)
        mismatch();
    bool wantLow = false;
    for (std::size_t i = 2; i < bytes.size(); i += 2) {
        const unsigned c = static_cast<BYTE>(bytes[i]) | static_cast<BYTE>(bytes[i + 1]) << 8;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (wantLow != low)
            mismatch();
        wantLow = c >= 0xD800 && c <= 0xDBFF;
    }
    if (wantLow)
        mismatch();
}

// Writes the op's key (with its value, for a value) and reads it back.
void checkRoundTrip(const RegBatchOp& op)
{
    const bool value = op.kind == RegBatchOp::SetValue;
    std::string keyName = regfile::RootName(op.root) + (op.key.empty() ? "" : "\\" + op.key);
    std::vector<regfile::Value> values;
    if (value)
        values.push_back({op.name, op.type, op.data});
    std::string bytes, error;
    if (!regfile::Format({{keyName, values}}, bytes, error))
        mismatch();  // import took a name or a value that export cannot write
    checkUtf16(bytes);
    regfile::ParseResult again = regfile::Parse(bytes);
    if (!again.ok || again.ops.size() != (value ? 2u : 1u))
        mismatch();
    if (again.ops[0].kind != RegBatchOp::CreateKey || again.ops[0].root != op.root || again.ops[0].key != op.key)
        mismatch();
    if (!value)
        return;
    const RegBatchOp& back = again.ops[1];
    if (back.kind != RegBatchOp::SetValue || back.name != op.name || back.type != op.type || back.data != op.data)
        mismatch();
}

// The op's key made exactly as deep as the limit (a value op keeps its value)
// must be read back unchanged; one level more must be refused on its key line.
void checkDepthLimit(RegBatchOp op, std::size_t levels)
{
    if (op.kind != RegBatchOp::SetValue)
        op.kind = RegBatchOp::CreateKey;
    for (; levels < kMaxKeyDepth; ++levels)
        op.key += op.key.empty() ? "d" : "\\d";
    checkRoundTrip(op);
    std::string bytes, error;
    if (!regfile::Format({{regfile::RootName(op.root) + "\\" + op.key + "\\d", {}}}, bytes, error))
        mismatch();
    regfile::ParseResult r = regfile::Parse(bytes);
    if (r.ok || r.line != 3 || r.message != regfile::kKeyTooDeep)
        mismatch();
}

// The text as the reader should see it: UTF-16 after a byte-order mark; else
// UTF-8 if all of it is, else Windows-1252.
std::string decodedText(const std::string& bytes)
{
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        std::u16string u;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            u += static_cast<char16_t>(static_cast<BYTE>(bytes[i]) | static_cast<BYTE>(bytes[i + 1]) << 8);
        std::string text;
        if (!regfile::Utf16ToUtf8(u, text))
            mismatch();  // the reader refuses unpaired surrogates
        return text;
    }
    return IsUtf8(bytes) ? bytes : regfile::Windows1252ToUtf8(bytes);
}

// The value names of the file's value lines, found without the reader: a line
// whose first character past blanks is @ or a quote. Only hex data goes on in
// a next line, and such a line starts with a hex digit, so each of these lines
// is a value of its own.
std::vector<std::string> valueLineNames(const std::string& bytes)
{
    const std::string text = decodedText(bytes);
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::size_t i = text.find_first_not_of(" \t", start);
        if (i < end && text[i] == '@') {
            names.emplace_back();
        } else if (i < end && text[i] == '"') {
            std::string name;
            for (++i; i < end && text[i] != '"'; ++i) {
                if (text[i] == '\\')
                    ++i;
                if (i < end)
                    name += text[i];
            }
            names.push_back(name);
        }
        start = end + 1;
    }
    return names;
}

void checkEveryValueLineCounts(const std::string& bytes, const std::vector<RegBatchOp>& ops)
{
    std::vector<std::string> names;
    for (const RegBatchOp& op : ops) {
        if (op.kind == RegBatchOp::SetValue || op.kind == RegBatchOp::DeleteValue)
            names.push_back(op.name);
    }
    if (names != valueLineNames(bytes))
        mismatch();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char*>(data), size);
    // A leading 0x01 reads 8-bit text in a multi-byte code page, through iconv;
    // value lines are then not counted, since finding them needs that decoding.
    const bool cp932 = !bytes.empty() && bytes[0] == '\x01';
    if (cp932)
        bytes.erase(0, 1);
    regfile::ParseResult r = regfile::Parse(bytes, cp932 ? "CP932" : "");
    if (!r.ok) {
        if (r.line < 1 || r.message.empty() || !r.ops.empty())
            mismatch();
        return 0;
    }
    if (!cp932)
        checkEveryValueLineCounts(bytes, r.ops);
    const RegBatchOp* deepest = nullptr;
    std::size_t deepestLevels = 0;
    for (const RegBatchOp& op : r.ops) {
        if (op.kind == RegBatchOp::DeleteTree && op.key.empty())
            mismatch();
        const std::size_t levels = checkKeyPath(op.key);
        checkName(op.name);
        if (op.kind != RegBatchOp::DeleteValue && op.kind != RegBatchOp::DeleteTree)
            checkRoundTrip(op);
        if (!deepest || levels > deepestLevels) {
            deepest = &op;
            deepestLevels = levels;
        }
    }
    // Once an input, for its deepest key: a key line hundreds of levels deep is
    // costly to write and read back.
    if (deepest)
        checkDepthLimit(*deepest, deepestLevels);
    return 0;
}
