// Feeds arbitrary bytes to the .reg reader. Whatever it accepts must survive
// being written out again and read back unchanged.

#include <cstddef>
#include <cstdint>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    regfile::ParseResult r = regfile::Parse(std::string(reinterpret_cast<const char*>(data), size));
    if (!r.ok) {
        if (r.line < 1 || r.message.empty() || !r.ops.empty())
            mismatch();
        return 0;
    }
    for (const RegBatchOp& op : r.ops) {
        if (op.kind == RegBatchOp::SetValue)
            checkRoundTrip(op);
    }
    return 0;
}
