#include "viewer/RandomOrder.h"

#include <chrono>
#include <numeric>
#include <utility>

namespace {
std::uint64_t freshStart()
{
    std::random_device entropy;
    const auto high = static_cast<std::uint64_t>(entropy()) << 32;
    const auto ticks = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return (high | entropy()) ^ ticks;
}
}  // namespace

RandomOrder::RandomOrder() : RandomOrder(freshStart()) {}

RandomOrder::RandomOrder(std::uint64_t generatorStart) : generator_(generatorStart) {}

std::int32_t RandomOrder::unpicked() const
{
    return static_cast<std::int32_t>(pool_.size()) - shownCount_;
}

std::int32_t RandomOrder::drawIndex()
{
    std::uniform_int_distribution<std::int32_t> among(0, unpicked() - 1);
    return among(generator_);
}

// A list that grew keeps its cycle: the new positions join the unpicked ones,
// as a rescan over the history would treat them. A list that shrank without
// being refilled would leave positions in the history that no longer exist, so
// it starts a new cycle.
void RandomOrder::fitToSize(std::int32_t n)
{
    const auto old = static_cast<std::int32_t>(pool_.size());
    if (n > old) {
        pool_.reserve(static_cast<std::size_t>(n));
        for (std::int32_t p = old; p < n; ++p) {
            const std::int32_t firstPicked = unpicked();
            pool_.push_back(p);
            std::swap(pool_.back(), pool_[static_cast<std::size_t>(firstPicked)]);
        }
        return;
    }
    pool_.resize(static_cast<std::size_t>(n));
    std::iota(pool_.begin(), pool_.end(), 0);
    shownCount_ = 0;
}

std::int32_t RandomOrder::Pick(std::int32_t n, bool newCycle)
{
    if (n <= 0)
        return -1;
    if (newCycle || static_cast<std::int32_t>(pool_.size()) != n)
        aheadIndex_ = -1;
    if (static_cast<std::int32_t>(pool_.size()) != n)
        fitToSize(n);
    shownHistory_.resize(static_cast<std::size_t>(n) + 1);
    if (newCycle)
        shownCount_ = 0;

    const std::int32_t j = aheadIndex_ >= 0 ? aheadIndex_ : drawIndex();
    aheadIndex_ = -1;
    const std::int32_t lastUnpicked = unpicked() - 1;
    const std::int32_t position = pool_[static_cast<std::size_t>(j)];
    std::swap(pool_[static_cast<std::size_t>(j)], pool_[static_cast<std::size_t>(lastUnpicked)]);

    ++shownCount_;
    shownHistory_[static_cast<std::size_t>(shownCount_)] = position;
    if (shownCount_ == n)
        shownCount_ = 0;
    return position;
}

std::int32_t RandomOrder::DrawAhead(std::int32_t n)
{
    if (n <= 0 || static_cast<std::int32_t>(pool_.size()) != n)
        return -1;
    if (aheadIndex_ < 0)
        aheadIndex_ = drawIndex();
    return pool_[static_cast<std::size_t>(aheadIndex_)];
}
