// Feeds arbitrary bytes, from memory, to the picture loader the viewer uses,
// once for a large screen (natural size) and once for a tiny one (decoded at
// reduced size). A picture it accepts must have exactly the size it promised.

#include <cstddef>
#include <cstdint>

#include "LoadCheck.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzcheck::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    fuzzcheck::loadFor(bytes, QSize(1920, 1080));
    fuzzcheck::loadFor(bytes, QSize(16, 12));
    return 0;
}
