#include "viewer/RandomOrder.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <random>

namespace {

std::uint64_t freshStart()
{
    std::random_device entropy;
    const auto high = static_cast<std::uint64_t>(entropy()) << 32;
    const auto ticks = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return (high | entropy()) ^ ticks;
}

std::size_t wordsFor(std::int32_t n) { return (static_cast<std::size_t>(n) + 63) / 64; }

// The position, 0 to 63, of the k-th set bit of x (k counted from 0).
int setBitAt(std::uint64_t x, int k)
{
    int at = 0;
    for (const int width : {32, 16, 8}) {
        const std::uint64_t low = (x >> at) & ((std::uint64_t{1} << width) - 1);
        const int inLow = std::popcount(low);
        if (k >= inLow) {
            k -= inLow;
            at += width;
        }
    }
    std::uint64_t byte = (x >> at) & 0xFF;
    for (; k > 0; --k)
        byte &= byte - 1;
    return at + std::countr_zero(byte);
}

}  // namespace

std::uint64_t OrderGenerator::operator()()
{
    state_ += 0x9E3779B97F4A7C15u;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

RandomOrder::RandomOrder() : RandomOrder(freshStart()) {}

RandomOrder::RandomOrder(std::uint64_t generatorStart) : generator_(generatorStart) { countUnpicked(); }

// A value from elsewhere (a file, later) is taken as far as it makes sense:
// bits past the size are dropped, a full set begins a new cycle, and a
// drawn-ahead position that is no longer free is drawn again.
RandomOrder::RandomOrder(const Value& value) : generator_(value.generator), n_(std::max(0, value.size))
{
    shown_ = value.shown;
    shown_.resize(wordsFor(n_), 0);
    if (n_ % 64 != 0 && !shown_.empty())
        shown_.back() &= (std::uint64_t{1} << (n_ % 64)) - 1;
    shownHistory_.assign(static_cast<std::size_t>(n_) + 1, 0);
    for (std::int32_t p = 0; p < n_; ++p)
        if ((shown_[static_cast<std::size_t>(p) / 64] >> (p % 64)) & 1)
            shownHistory_[static_cast<std::size_t>(++shownCount_)] = p;
    if (shownCount_ == n_)
        startCycle();
    countUnpicked();
    const bool aheadFree = value.ahead >= 0 && value.ahead < n_
                           && !((shown_[static_cast<std::size_t>(value.ahead) / 64] >> (value.ahead % 64)) & 1);
    ahead_ = aheadFree ? value.ahead : -1;
}

RandomOrder::Value RandomOrder::Saved() const { return {n_, shown_, ahead_, generator_.State()}; }

std::int32_t RandomOrder::unpickedInWord(std::size_t word) const
{
    const std::int32_t bits = word + 1 < shown_.size() || n_ % 64 == 0 ? 64 : n_ % 64;
    return bits - std::popcount(shown_[word]);
}

void RandomOrder::countUnpicked()
{
    unpicked_.assign(1, std::vector<std::int32_t>(shown_.size()));
    for (std::size_t w = 0; w < shown_.size(); ++w)
        unpicked_[0][w] = unpickedInWord(w);
    while (unpicked_.back().size() > kFanOut) {
        const std::vector<std::int32_t>& below = unpicked_.back();
        std::vector<std::int32_t> sums((below.size() + kFanOut - 1) / kFanOut, 0);
        for (std::size_t i = 0; i < below.size(); ++i)
            sums[i / kFanOut] += below[i];
        unpicked_.push_back(std::move(sums));
    }
}

void RandomOrder::startCycle()
{
    ++cycles_;
    shownCount_ = 0;
    std::fill(shown_.begin(), shown_.end(), 0);
    countUnpicked();
}

void RandomOrder::markShown(std::int32_t position)
{
    std::size_t at = static_cast<std::size_t>(position) / 64;
    shown_[at] |= std::uint64_t{1} << (position % 64);
    for (std::vector<std::int32_t>& level : unpicked_) {
        --level[at];
        at /= kFanOut;
    }
}

// The rank-th position not picked in this cycle, counted from 0 upwards:
// from the top level down, the count that holds it, then its bit.
std::int32_t RandomOrder::unpickedAt(std::int32_t rank) const
{
    std::size_t at = 0;
    for (auto level = unpicked_.rbegin(); level != unpicked_.rend(); ++level) {
        std::size_t i = at * kFanOut;
        while (rank >= (*level)[i])
            rank -= (*level)[i++];
        at = i;
    }
    return static_cast<std::int32_t>(at * 64) + setBitAt(~shown_[at], rank);
}

// While an eighth of the positions or more are free, a draw over all of them
// that draws again on a picked one is cheapest (eight draws at most, on
// average); later in the cycle the free ones are counted off. Either way the
// draw is uniform over the free positions.
std::int32_t RandomOrder::draw()
{
    const std::int32_t free = n_ - shownCount_;
    if (free >= n_ / 8) {
        std::uniform_int_distribution<std::int32_t> any(0, n_ - 1);
        for (;;) {
            const std::int32_t p = any(generator_);
            if (!((shown_[static_cast<std::size_t>(p) / 64] >> (p % 64)) & 1))
                return p;
        }
    }
    std::uniform_int_distribution<std::int32_t> among(0, free - 1);
    return unpickedAt(among(generator_));
}

// A list that grew keeps its cycle: the new positions join the unpicked ones,
// as a rescan over the history would treat them. A list that shrank without
// being refilled would leave positions in the history that no longer exist, so
// it starts a new cycle.
void RandomOrder::fitToSize(std::int32_t n)
{
    const bool grew = n > n_;
    n_ = n;
    shown_.resize(wordsFor(n), 0);
    if (grew)
        countUnpicked();
    else
        startCycle();
}

std::int32_t RandomOrder::Pick(std::int32_t n, bool newCycle)
{
    if (n <= 0)
        return -1;
    if (newCycle || n != n_)
        ahead_ = -1;
    if (n != n_)
        fitToSize(n);
    shownHistory_.resize(static_cast<std::size_t>(n) + 1);
    if (newCycle)
        startCycle();

    const std::int32_t position = ahead_ >= 0 ? ahead_ : draw();
    ahead_ = -1;
    markShown(position);
    ++shownCount_;
    shownHistory_[static_cast<std::size_t>(shownCount_)] = position;
    if (shownCount_ == n)
        startCycle();
    return position;
}

std::int32_t RandomOrder::DrawAhead(std::int32_t n)
{
    if (n <= 0 || n != n_)
        return -1;
    if (ahead_ < 0)
        ahead_ = draw();
    return ahead_;
}

bool RandomOrder::Picked(std::int32_t position) const
{
    return position >= 0 && position < n_ && ((shown_[static_cast<std::size_t>(position) / 64] >> (position % 64)) & 1);
}

template <class Move>
void RandomOrder::moveTo(std::int32_t n, Move to)
{
    std::vector<std::uint64_t> shown(wordsFor(n), 0);
    std::vector<std::int32_t> history{0};
    history.reserve(static_cast<std::size_t>(n) + 1);
    // The history's order is the order of the picks; the bitset follows it.
    for (std::int32_t i = 1; i <= shownCount_; ++i)
        if (const std::int32_t p = to(shownHistory_[static_cast<std::size_t>(i)]); p >= 0) {
            shown[static_cast<std::size_t>(p) / 64] |= std::uint64_t{1} << (p % 64);
            history.push_back(p);
        }
    ahead_ = ahead_ >= 0 ? to(ahead_) : -1;
    n_ = n;
    shown_ = std::move(shown);
    shownCount_ = static_cast<std::int32_t>(history.size()) - 1;
    history.resize(static_cast<std::size_t>(n) + 1, 0);
    shownHistory_ = std::move(history);
    if (n_ > 0 && shownCount_ == n_)
        startCycle();
    countUnpicked();
}

void RandomOrder::Inserted(const std::vector<std::int32_t>& at, std::int32_t count)
{
    const auto k = static_cast<std::int32_t>(at.size());
    if (k == 0 || n_ + k != count)
        return;
    // Entry p had before it the entries joined with fewer than p + 1 old
    // ones ahead of them: the j-th joined had at[j] - j.
    std::vector<std::int32_t> oldAhead(at.size());
    for (std::size_t j = 0; j < at.size(); ++j)
        oldAhead[j] = at[j] - static_cast<std::int32_t>(j);
    moveTo(count, [&oldAhead](std::int32_t p) {
        return p + static_cast<std::int32_t>(std::upper_bound(oldAhead.begin(), oldAhead.end(), p) - oldAhead.begin());
    });
}

void RandomOrder::Removed(const std::vector<std::int32_t>& at, std::int32_t count)
{
    if (at.empty() || n_ - static_cast<std::int32_t>(at.size()) != count)
        return;
    moveTo(count, [&at](std::int32_t p) {
        const auto before = std::lower_bound(at.begin(), at.end(), p);
        return before != at.end() && *before == p ? -1 : p - static_cast<std::int32_t>(before - at.begin());
    });
}

void RandomOrder::MarkPicked(std::int32_t position)
{
    if (position < 0 || position >= n_ || Picked(position))
        return;
    markShown(position);
    shownHistory_[static_cast<std::size_t>(++shownCount_)] = position;
    if (ahead_ == position)
        ahead_ = -1;
    if (shownCount_ == n_)
        startCycle();
}
