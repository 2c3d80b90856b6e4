#include "viewer/AreaScaler.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Rows are summed down in 16 bits: weights of 1/256, so that 255 times a full
// weight still fits. Across, a weight is a fraction of 2^15, applied by
// keeping the high 16 bits of the product: the result is in 1/128 of a step.
constexpr std::uint32_t kDownOne = 256;
constexpr std::uint32_t kAcrossOne = 1u << 15;
constexpr int kResultShift = 7;

// sum = in * weight for the first row of a sum (kStart), sum += in * weight
// after; and when `next` is given, next = in * nextWeight too (a row on the
// boundary of two output rows starts the second), in the same pass.
template <bool kStart, bool kNext>
void addWeighted(const std::uint8_t* in, std::size_t n, std::uint16_t* sum, std::uint16_t weight,
                 std::uint16_t* next = nullptr, std::uint16_t nextWeight = 0)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i w = _mm_set1_epi16(static_cast<short>(weight));
    const __m128i nw = _mm_set1_epi16(static_cast<short>(nextWeight));
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
        __m128i* s = reinterpret_cast<__m128i*>(sum + i);
        __m128i sumLow = _mm_mullo_epi16(low, w), sumHigh = _mm_mullo_epi16(high, w);
        if constexpr (!kStart) {
            sumLow = _mm_add_epi16(sumLow, _mm_loadu_si128(s));
            sumHigh = _mm_add_epi16(sumHigh, _mm_loadu_si128(s + 1));
        }
        _mm_storeu_si128(s, sumLow);
        _mm_storeu_si128(s + 1, sumHigh);
        if constexpr (kNext) {
            __m128i* t = reinterpret_cast<__m128i*>(next + i);
            _mm_storeu_si128(t, _mm_mullo_epi16(low, nw));
            _mm_storeu_si128(t + 1, _mm_mullo_epi16(high, nw));
        }
    }
#endif
    for (; i < n; ++i) {
        sum[i] = static_cast<std::uint16_t>((kStart ? 0 : sum[i]) + in[i] * weight);
        if constexpr (kNext)
            next[i] = static_cast<std::uint16_t>(in[i] * nextWeight);
    }
}

}  // namespace

AreaScaler::Weights AreaScaler::weigh(int from, int to, std::uint32_t one)
{
    // Output pixel p covers [p * from, (p + 1) * from) in units in which input
    // pixel i covers [i * to, (i + 1) * to); it covers at most `taps` of them.
    Weights w;
    w.taps = (from + to - 1) / to + 1;
    w.first.resize(static_cast<std::size_t>(to));
    w.count.resize(static_cast<std::size_t>(to));
    w.weight.assign(static_cast<std::size_t>(to) * static_cast<std::size_t>(w.taps), 0);
    for (int p = 0; p < to; ++p) {
        const std::int64_t start = std::int64_t(p) * from, end = start + from;
        const int first = static_cast<int>(start / to);
        std::uint16_t* weights = &w.weight[static_cast<std::size_t>(p) * static_cast<std::size_t>(w.taps)];
        // Each weight is the share of the area covered up to the end of its
        // input pixel, rounded, less the share up to its start: no weight is
        // off by a whole step, the errors do not add up along the taps, and
        // together they make exactly `one`.
        std::int64_t covered = 0;
        std::uint32_t given = 0;
        int count = 0;
        for (int t = 0; t < w.taps && first + t < from; ++t) {
            const std::int64_t i = first + t;
            const std::int64_t overlap = std::min(end, (i + 1) * to) - std::max(start, i * to);
            if (overlap <= 0)
                break;
            count = t + 1;
            covered += overlap;
            const auto upTo = static_cast<std::uint32_t>((2 * covered * one + from) / (2 * std::int64_t(from)));
            weights[t] = static_cast<std::uint16_t>(upTo - given);
            given = upTo;
        }
        w.first[static_cast<std::size_t>(p)] = first;
        w.count[static_cast<std::size_t>(p)] = count;
    }
    return w;
}

AreaScaler::AreaScaler(QSize from, QSize to, PixelPlacement out)
    : from_(from), to_(to), out_(out), down_(weigh(from.height(), to.height(), kDownOne)),
      lanes_(static_cast<std::size_t>(from.width()) * 4)
{
    const Weights across = weigh(from.width(), to.width(), kAcrossOne);
    taps_ = across.taps;
    const std::size_t pairs = (static_cast<std::size_t>(to.width()) + 1) / 2;
    const std::size_t taps = static_cast<std::size_t>(taps_);
    firstPixel_.assign(pairs * 2, 0);
    tapWeight_.assign(pairs * taps * 2, 0);
    pairTaps_.assign(pairs, 1);
    for (std::size_t x = 0; x < static_cast<std::size_t>(to.width()); ++x) {
        firstPixel_[x] = across.first[x];
        pairTaps_[x / 2] = std::max(pairTaps_[x / 2], static_cast<std::uint8_t>(across.count[x]));
        for (std::size_t t = 0; t < taps; ++t)
            tapWeight_[((x / 2) * taps + t) * 2 + x % 2] = across.weight[x * taps + t];
    }
    // A pixel's taps past its last one read past the row, with weight 0.
    sum_.assign(lanes_ + 4 * taps, 0);
    next_.assign(lanes_ + 4 * taps, 0);
}

void AreaScaler::addRow(const std::uint32_t* row)
{
    if (nextRow_ >= from_.height())
        return;
    const int j = nextRow_++;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(row);
    // This row adds to output row outRow_, and may begin outRow_ + 1. A row's
    // tap number in an output row, or -1 when it is none of its rows.
    const auto tapIn = [&](int y) {
        if (y >= to_.height())
            return -1;
        const std::size_t oy = static_cast<std::size_t>(y);
        const int t = j - down_.first[oy];
        return t >= 0 && t < down_.count[oy] ? t : -1;
    };
    const auto weightIn = [&](int y, int t) {
        return down_.weight[static_cast<std::size_t>(y) * static_cast<std::size_t>(down_.taps) + static_cast<std::size_t>(t)];
    };
    const int t = tapIn(outRow_), nextT = tapIn(outRow_ + 1);
    const std::uint16_t weight = weightIn(outRow_, std::max(t, 0));
    if (nextT == 0) {
        const std::uint16_t nextWeight = weightIn(outRow_ + 1, 0);
        if (t == 0)
            addWeighted<true, true>(bytes, lanes_, sum_.data(), weight, next_.data(), nextWeight);
        else
            addWeighted<false, true>(bytes, lanes_, sum_.data(), weight, next_.data(), nextWeight);
    } else if (t == 0) {
        addWeighted<true, false>(bytes, lanes_, sum_.data(), weight);
    } else if (t > 0) {
        addWeighted<false, false>(bytes, lanes_, sum_.data(), weight);
    }
    // Output row outRow_ is complete once no later input row weighs in it.
    while (outRow_ < to_.height()) {
        const std::size_t oy = static_cast<std::size_t>(outRow_);
        if (nextRow_ < down_.first[oy] + down_.count[oy])
            break;
        finishRow(outRow_++);
    }
}

void AreaScaler::finishRow(int y)
{
    switch (taps_) {
    case 2: return finishRowWith<2>(y);
    case 3: return finishRowWith<3>(y);
    default: return finishRowWith<0>(y);
    }
}

// kTaps is taps_ when it is not 0, so that the common cases unroll.
template <int kTaps>
void AreaScaler::finishRowWith(int y)
{
    std::uint32_t* const row = out_.origin + y * out_.dy;
    const std::uint16_t* sums = sum_.data();
    const int width = to_.width();
    const std::size_t taps = kTaps ? static_cast<std::size_t>(kTaps) : static_cast<std::size_t>(taps_);
    for (int x = 0; x < width; x += 2) {
        std::uint32_t* const out = row + x * out_.dx;
        const std::size_t pair = static_cast<std::size_t>(x) / 2;
        const std::uint16_t* a = sums + 4 * static_cast<std::size_t>(firstPixel_[2 * pair]);
        const std::uint16_t* b = sums + 4 * static_cast<std::size_t>(firstPixel_[2 * pair + 1]);
        const std::uint16_t* weight = &tapWeight_[pair * taps * 2];
        std::uint32_t two[2];
#if defined(__SSE2__)
        __m128i total = _mm_setzero_si128();
        // Most pixels of a picture shrunk by less than half cover two input
        // pixels, not three: their last tap is skipped.
        const std::size_t used = kTaps == 3 ? static_cast<std::size_t>(pairTaps_[pair]) : taps;
        for (std::size_t t = 0; t < used; ++t) {
            const __m128i inA = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(a + 4 * t));
            const __m128i inB = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + 4 * t));
            std::uint32_t both;  // the two pixels' weights, each spread over its four channels
            std::memcpy(&both, weight + 2 * t, sizeof both);
            __m128i w = _mm_cvtsi32_si128(static_cast<int>(both));
            w = _mm_unpacklo_epi16(w, w);
            w = _mm_unpacklo_epi32(w, w);
            total = _mm_add_epi16(total, _mm_mulhi_epu16(_mm_unpacklo_epi64(inA, inB), w));
        }
        const __m128i rounded = _mm_srli_epi16(_mm_add_epi16(total, _mm_set1_epi16(1 << (kResultShift - 1))), kResultShift);
        const __m128i pixels = _mm_or_si128(_mm_packus_epi16(rounded, rounded), _mm_set1_epi32(int(0xFF000000u)));
        if (out_.dx == 1 && x + 1 < width) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out), pixels);
            continue;
        }
        _mm_storel_epi64(reinterpret_cast<__m128i*>(two), pixels);
#else
        for (int side = 0; side < 2; ++side) {
            const std::uint16_t* in = side ? b : a;
            unsigned channel[3] = {0, 0, 0};
            for (std::size_t t = 0; t < taps; ++t) {
                const std::uint32_t w = weight[2 * t + static_cast<std::size_t>(side)];
                for (int c = 0; c < 3; ++c)
                    channel[c] += (in[4 * t + c] * w) >> 16;
            }
            for (unsigned& c : channel)
                c = std::min(255u, (c + (1u << (kResultShift - 1))) >> kResultShift);
            two[side] = channel[0] | channel[1] << 8 | channel[2] << 16 | 0xFF000000u;
        }
#endif
        out[0] = two[0];
        if (x + 1 < width)
            out[out_.dx] = two[1];
    }
    std::swap(sum_, next_);
}
