#pragma once

#include <cstddef>
#include <cstdio>  // jpeglib.h needs it first
#include <memory>
#include <vector>

#include <jpeglib.h>

// The coefficients of a JPEG of many scans (progressive, or its colours
// scanned apart), which libjpeg keeps for the whole picture until the last
// scan is read: 128 bytes a block whatever size the picture is shown at, so
// 96 MiB for a 16 MP picture in full colour. Most coefficients are zero and
// the rest small, so each row of blocks is kept packed (a bit for each
// coefficient that is not zero, then those, a byte each where they fit) and
// unpacked only while libjpeg works on it, a few rows at a time: a photo
// takes a tenth to two fifths of the memory, and none takes more (a row that
// would not pack smaller is kept as it is).
//
// It serves libjpeg's virtual block arrays, which JpegDecoder hands to it.
// Nothing thrown leaves it: a failure is a null answer.
class PackedCoefficients {
public:
    PackedCoefficients();
    ~PackedCoefficients();
    PackedCoefficients(const PackedCoefficients&) = delete;
    PackedCoefficients& operator=(const PackedCoefficients&) = delete;

    // An array of `rows` rows of `blocksPerRow` blocks, of which at most
    // `maxAccess` rows are asked for at once; null when there is no memory.
    jvirt_barray_ptr request(JDIMENSION blocksPerRow, JDIMENSION rows, JDIMENSION maxAccess) noexcept;
    // What the arrays asked for would take unpacked, as libjpeg would hold them.
    std::size_t unpackedBytes() const { return unpacked_; }

    // Rows [first, first + count) of an array, zero where never written. What
    // is written into them is kept when `writable`. Valid until the array's
    // next access. Null for rows outside the array, more than its maxAccess
    // at once, or no memory.
    JBLOCKARRAY access(jvirt_barray_ptr array, JDIMENSION first, JDIMENSION count, bool writable) noexcept;

    // Forgets every array and gives its memory back.
    void clear() noexcept;

private:
    struct Array;
    void pack(Array& array, std::size_t slot);

    std::vector<std::unique_ptr<Array>> arrays_;
    std::vector<unsigned char> scratch_;  // one row packed, before it is kept
    std::size_t unpacked_ = 0;
};
