#include "viewer/PackedCoefficients.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kCoefficients = DCTSIZE2;  // 64 a block
// A value that does not fit in a byte: this byte, then its two.
constexpr unsigned char kWide = 0x80;
// A block packed at its largest: its bits, then every value wide.
constexpr std::size_t kMostPerBlock = sizeof(std::uint64_t) + 3 * kCoefficients;
// libjpeg-turbo's smoothing of a progressive picture that ends early reads up
// to two rows beyond those it asks for, which its own arrays (all in memory)
// allow: these are unpacked and handed out too.
constexpr JDIMENSION kMargin = 2;

// Bit k set when coefficient k is not zero.
std::uint64_t nonZero(const JCOEF* block)
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    std::uint64_t bits = 0;
    for (int i = 0; i < kCoefficients / 8; ++i) {
        const __m128i eight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * i));
        const __m128i isZero = _mm_cmpeq_epi16(eight, zero);
        const auto zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(isZero, isZero))) & 0xFFu;
        bits |= std::uint64_t(~zeros & 0xFFu) << (8 * i);
    }
    return bits;
#else
    std::uint64_t bits = 0;
    for (int k = 0; k < kCoefficients; ++k)
        bits |= std::uint64_t(block[k] != 0) << k;
    return bits;
#endif
}

std::size_t packRow(const JBLOCK* blocks, JDIMENSION count, unsigned char* out)
{
    unsigned char* at = out;
    for (JDIMENSION b = 0; b < count; ++b) {
        std::uint64_t bits = nonZero(blocks[b]);
        std::memcpy(at, &bits, sizeof bits);
        at += sizeof bits;
        for (; bits; bits &= bits - 1) {
            const JCOEF v = blocks[b][__builtin_ctzll(bits)];
            if (v >= -127 && v <= 127) {
                *at++ = static_cast<unsigned char>(static_cast<signed char>(v));
            } else {
                *at++ = kWide;
                std::memcpy(at, &v, sizeof v);
                at += sizeof v;
            }
        }
    }
    return static_cast<std::size_t>(at - out);
}

void unpackRow(const unsigned char* in, JBLOCK* blocks, JDIMENSION count)
{
    std::memset(blocks, 0, sizeof(JBLOCK) * count);
    for (JDIMENSION b = 0; b < count; ++b) {
        std::uint64_t bits;
        std::memcpy(&bits, in, sizeof bits);
        in += sizeof bits;
        for (; bits; bits &= bits - 1) {
            JCOEF v;
            if (*in == kWide) {
                std::memcpy(&v, in + 1, sizeof v);
                in += 1 + sizeof v;
            } else {
                v = static_cast<signed char>(*in++);
            }
            blocks[b][__builtin_ctzll(bits)] = v;
        }
    }
}

}  // namespace

struct PackedCoefficients::Array {
    JDIMENSION blocksPerRow, rows, maxAccess;
    // Each row: empty while never written, else packed, or as it is where
    // packing would not make it smaller (noise, say).
    std::vector<std::vector<unsigned char>> packed;
    // The rows unpacked: `slot` is the row each holds, or kEmpty.
    static constexpr JDIMENSION kEmpty = ~JDIMENSION(0);
    std::unique_ptr<JBLOCK[]> unpacked;
    std::vector<JDIMENSION> slot;
    std::vector<bool> dirty;
    std::vector<JBLOCKROW> handedOut;

    JBLOCK* rowIn(std::size_t s) { return unpacked.get() + s * blocksPerRow; }
    std::size_t rowBytes() const { return sizeof(JBLOCK) * blocksPerRow; }
};

PackedCoefficients::PackedCoefficients() = default;

PackedCoefficients::~PackedCoefficients() = default;

jvirt_barray_ptr PackedCoefficients::request(JDIMENSION blocksPerRow, JDIMENSION rows, JDIMENSION maxAccess) noexcept
{
    try {
        auto array = std::make_unique<Array>();
        array->blocksPerRow = blocksPerRow;
        array->rows = rows;
        array->maxAccess = std::max<JDIMENSION>(1, std::min(maxAccess, rows));
        arrays_.push_back(std::move(array));
        unpacked_ += std::size_t(blocksPerRow) * rows * sizeof(JBLOCK);
        // The handle libjpeg holds; only this class looks inside it.
        return reinterpret_cast<jvirt_barray_ptr>(arrays_.back().get());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void PackedCoefficients::pack(Array& a, std::size_t s)
{
    const std::size_t most = kMostPerBlock * a.blocksPerRow;
    if (scratch_.size() < most)
        scratch_.resize(most);
    const std::size_t size = packRow(a.rowIn(s), a.blocksPerRow, scratch_.data());
    const auto* from = size < a.rowBytes() ? scratch_.data() : reinterpret_cast<const unsigned char*>(a.rowIn(s));
    // A row only grows from scan to scan: its memory is taken to size.
    a.packed[a.slot[s]].assign(from, from + std::min(size, a.rowBytes()));
    a.dirty[s] = false;
}

JBLOCKARRAY PackedCoefficients::access(jvirt_barray_ptr handle, JDIMENSION first, JDIMENSION n, bool writable) noexcept
{
    Array& a = *reinterpret_cast<Array*>(handle);
    if (n == 0 || n > a.maxAccess || first >= a.rows || n > a.rows - first)
        return nullptr;
    const JDIMENSION low = first > kMargin ? first - kMargin : 0;
    const JDIMENSION high = std::min(a.rows, first + n + kMargin);
    try {
        if (!a.unpacked) {
            const std::size_t slots = a.maxAccess + 2 * kMargin;
            a.packed.resize(a.rows);
            a.slot.assign(slots, Array::kEmpty);
            a.dirty.assign(slots, false);
            a.handedOut.resize(slots);
            a.unpacked.reset(new JBLOCK[slots * a.blocksPerRow]);
        }
        // An empty slot, else the row furthest above those handed out
        // (libjpeg goes down the picture), else the one furthest below them;
        // never one handed out, which the slots always leave room for.
        const auto ratherThan = [low](JDIMENSION row, JDIMENSION other) {
            if ((row < low) != (other < low))
                return row < low;
            return row < low ? row < other : row > other;
        };
        for (JDIMENSION row = low; row < high; ++row) {
            auto at = std::find(a.slot.begin(), a.slot.end(), row);
            if (at == a.slot.end()) {
                std::size_t free = a.slot.size();
                for (std::size_t s = 0; s < a.slot.size(); ++s) {
                    const JDIMENSION held = a.slot[s];
                    if (held == Array::kEmpty) {
                        free = s;
                        break;
                    }
                    if ((held < low || held >= high) && (free == a.slot.size() || ratherThan(held, a.slot[free])))
                        free = s;
                }
                if (a.slot[free] != Array::kEmpty && a.dirty[free])
                    pack(a, free);
                a.slot[free] = row;
                a.dirty[free] = false;
                const std::vector<unsigned char>& packed = a.packed[row];
                if (packed.empty())
                    std::memset(a.rowIn(free), 0, a.rowBytes());
                else if (packed.size() == a.rowBytes())
                    std::memcpy(a.rowIn(free), packed.data(), a.rowBytes());
                else
                    unpackRow(packed.data(), a.rowIn(free), a.blocksPerRow);
                at = a.slot.begin() + static_cast<std::ptrdiff_t>(free);
            }
            const auto s = static_cast<std::size_t>(at - a.slot.begin());
            a.handedOut[row - low] = a.rowIn(s);
            if (writable && row >= first && row - first < n)
                a.dirty[s] = true;
        }
        return a.handedOut.data() + (first - low);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void PackedCoefficients::clear() noexcept
{
    arrays_.clear();
    scratch_ = {};
    unpacked_ = 0;
}
