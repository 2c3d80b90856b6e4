// Feeds arbitrary bytes to the .reg reader. Whatever it accepts must survive
// being written out again and read back unchanged, must change every value its
// value lines name (a line swallowed by the one before is a lost setting), and
// must never delete a whole root.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/RegFile.h"

namespace {

[[noreturn]] void mismatch() { __builtin_trap(); }

void checkRoundTrip(const RegBatchOp& op)
{
    std::string keyName = regfile::RootName(op.root) + (op.key.empty() ? "" : "\\" + op.key);
    std::string bytes, error;
    if (!regfile::Format({{keyName, {{op.name, op.type, op.data}}}}, bytes, error))
        return;  // a name with a line break cannot be written; that is reported, not a fault
    regfile::ParseResult again = regfile::Parse(bytes);
    if (!again.ok || again.ops.size() != 2)
        mismatch();
    const RegBatchOp& back = again.ops[1];
    if (again.ops[0].root != op.root || again.ops[0].key != op.key || back.kind != RegBatchOp::SetValue ||
        back.name != op.name || back.type != op.type || back.data != op.data)
        mismatch();
}

// The value names of the file's value lines, found without the reader: a line
// whose first character past blanks is @ or a quote. Only hex data goes on in
// a next line, and such a line starts with a hex digit, so each of these lines
// is a value of its own.
std::vector<std::string> valueLineNames(const std::string& bytes)
{
    std::string text = bytes;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        std::u16string u;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            u += static_cast<char16_t>(static_cast<BYTE>(bytes[i]) | static_cast<BYTE>(bytes[i + 1]) << 8);
        if (!regfile::Utf16ToUtf8(u, text))
            mismatch();  // the reader refuses unpaired surrogates
    }
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
        if (op.kind == RegBatchOp::DeleteTree && op.key.empty())
            mismatch();
        if (op.kind == RegBatchOp::SetValue || op.kind == RegBatchOp::DeleteValue)
            names.push_back(op.name);
    }
    if (names != valueLineNames(bytes))
        mismatch();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    regfile::ParseResult r = regfile::Parse(bytes);
    if (!r.ok) {
        if (r.line < 1 || r.message.empty() || !r.ops.empty())
            mismatch();
        return 0;
    }
    checkEveryValueLineCounts(bytes, r.ops);
    for (const RegBatchOp& op : r.ops) {
        if (op.kind == RegBatchOp::SetValue)
            checkRoundTrip(op);
    }
    return 0;
}
