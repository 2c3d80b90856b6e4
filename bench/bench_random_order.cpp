// Times complete cycles of the intelligent random order: the bitset draw
// the program uses (see RandomOrder), against a rescanning draw that redraws and
// rescans the whole history after every repeat.
//
//   build/bin/bench_random_order [runs]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "bench/Spread.h"
#include "viewer/RandomOrder.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The baseline: a candidate uniform over all n positions is redrawn, and the
// scan of the history restarted, whenever it was already picked in this cycle.
class RescanningOrder {
public:
    std::int32_t Pick(std::int32_t n, bool newCycle)
    {
        history_.resize(static_cast<std::size_t>(n) + 1);
        if (newCycle)
            count_ = 0;
        ++count_;
        std::int32_t candidate = draw(n);
        const std::int32_t bound = count_ - 1;
        for (std::int32_t i = 1; i <= bound; ++i) {
            if (history_[static_cast<std::size_t>(i)] == candidate) {
                candidate = draw(n);
                i = 0;
            }
        }
        history_[static_cast<std::size_t>(count_)] = candidate;
        if (count_ == n)
            count_ = 0;
        return candidate;
    }

private:
    // floor(n * r) with r a single-precision number in [0, 1).
    std::int32_t draw(std::int32_t n)
    {
        const float r = static_cast<float>(generator_() >> 40) * (1.0f / 16777216.0f);
        return static_cast<std::int32_t>(std::floor(static_cast<double>(static_cast<float>(n)) * r));
    }

    std::mt19937_64 generator_{12345};
    std::vector<std::int32_t> history_;
    std::int32_t count_ = 0;
};

struct CycleTimes {
    double medianMs;
    double slowestPickUs;
};

// Times `runs` complete cycles after one warm-up cycle (which also builds the
// order's tables), then one more cycle pick by pick for the slowest pick.
template <class Order, class PickFn>
CycleTimes timeCycles(Order& order, std::int32_t n, int runs, PickFn pick)
{
    std::uint64_t sink = 0;
    for (std::int32_t i = 0; i < n; ++i)
        sink += static_cast<std::uint64_t>(pick(order, n));
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        const auto start = Clock::now();
        for (std::int32_t i = 0; i < n; ++i)
            sink += static_cast<std::uint64_t>(pick(order, n));
        times.push_back(millisecondsSince(start));
    }
    double slowest = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        const auto start = Clock::now();
        sink += static_cast<std::uint64_t>(pick(order, n));
        slowest = std::max(slowest, millisecondsSince(start) * 1000);
    }
    if (sink == 42)  // keeps the picks from being optimised away
        std::puts("");
    return {median(times), slowest};
}

void report(const char* what, std::int32_t n, const CycleTimes& t)
{
    std::printf("  %-34s %9d entries: %10.2f ms a cycle, %8.1f ns a pick, slowest pick %9.1f us\n",
                what, n, t.medianMs, t.medianMs * 1e6 / n, t.slowestPickUs);
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    const int slowRuns = std::max(1, runs / 2);
    std::printf("Complete random cycles, medians of %d runs (%d for the rescanning draw)\n", runs,
                slowRuns);

    auto bitset = [](RandomOrder& o, std::int32_t n) { return o.Pick(n, false); };
    auto drawnAhead = [](RandomOrder& o, std::int32_t n) {
        o.DrawAhead(n);
        return o.Pick(n, false);
    };
    auto rescanning = [](RescanningOrder& o, std::int32_t n) { return o.Pick(n, false); };

    RandomOrder small(1), large(2), largeAhead(3);
    RescanningOrder baseline;
    const CycleTimes s = timeCycles(small, 32767, runs, bitset);
    const CycleTimes l = timeCycles(large, 1000000, runs, bitset);
    const CycleTimes la = timeCycles(largeAhead, 1000000, runs, drawnAhead);
    const CycleTimes b = timeCycles(baseline, 32767, slowRuns, rescanning);

    report("bitset draw", 32767, s);
    report("bitset draw", 1000000, l);
    report("bitset draw, drawn ahead", 1000000, la);
    report("rescanning draw (baseline)", 32767, b);
    std::printf("Ratio rescanning / bitset at 32767 entries: %.0f x (slowest pick: %.0f x)\n",
                b.medianMs / s.medianMs, b.slowestPickUs / s.slowestPickUs);
    std::printf("Goal, a cycle of 1000000 entries within 100 ms: %s (%.1f ms)\n",
                l.medianMs <= 100 ? "met" : "NOT met", l.medianMs);
    return 0;
}
