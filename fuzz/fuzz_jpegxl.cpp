// The picture loader on inputs that start as JPEG XL files: the
// file-type check, our own walk over nothing before libjxl, the declared
// size, the decode and the scaling; others are passed over, so that the run
// stays on this decoder.

#include <cstddef>
#include <cstdint>

#include "LoadCheck.h"
#include "viewer/JpegXlDecoder.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzzcheck::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (!jpegxl::looksLike(bytes.left(64)))
        return 0;
    fuzzcheck::loadFor(bytes, QSize(1920, 1080));
    fuzzcheck::loadFor(bytes, QSize(16, 12));
    return 0;
}
