#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <vector>

#include "viewer/RandomOrder.h"

namespace {

std::vector<std::int32_t> picks(RandomOrder& order, std::int32_t n, int count)
{
    std::vector<std::int32_t> out;
    for (int i = 0; i < count; ++i)
        out.push_back(order.Pick(n, false));
    return out;
}

bool isPermutation(std::vector<std::int32_t> v, std::int32_t n)
{
    std::vector<std::int32_t> all(static_cast<std::size_t>(n));
    std::iota(all.begin(), all.end(), 0);
    std::sort(v.begin(), v.end());
    return v == all;
}

}  // namespace

TEST(RandomOrder, EachCycleShowsEveryPositionOnceThenStartsAgain)
{
    for (std::int32_t n : {1, 2, 5, 17, 1000, 100000}) {
        RandomOrder order(7);
        for (int cycle = 0; cycle < 3; ++cycle) {
            const auto cyclePicks = picks(order, n, n);
            EXPECT_TRUE(isPermutation(cyclePicks, n)) << "n=" << n << " cycle " << cycle;
            EXPECT_EQ(order.ShownCount(), 0) << "n=" << n;
        }
    }
}

TEST(RandomOrder, HistoryRecordsThePicksOfTheCycleInOrder)
{
    RandomOrder order(11);
    const auto first = picks(order, 5, 4);
    ASSERT_EQ(order.ShownCount(), 4);
    ASSERT_EQ(order.ShownHistory().size(), 6u);
    for (std::size_t i = 0; i < first.size(); ++i)
        EXPECT_EQ(order.ShownHistory()[i + 1], first[i]);

    // The fifth pick completes the cycle; the sixth begins a new one.
    order.Pick(5, false);
    EXPECT_EQ(order.ShownCount(), 0);
    const std::int32_t sixth = order.Pick(5, false);
    EXPECT_EQ(order.ShownCount(), 1);
    EXPECT_EQ(order.ShownHistory()[1], sixth);
}

TEST(RandomOrder, OneEntryIsPickedEveryTimeAndCompletesEachCycle)
{
    RandomOrder order(3);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(order.Pick(1, false), 0);
        EXPECT_EQ(order.ShownCount(), 0);
    }
}

TEST(RandomOrder, NewCycleForgetsTheHistory)
{
    RandomOrder order(5);
    picks(order, 10, 3);
    order.Pick(10, true);
    EXPECT_EQ(order.ShownCount(), 1);
    const auto rest = picks(order, 10, 9);
    std::vector<std::int32_t> cycle{order.ShownHistory()[1]};
    cycle.insert(cycle.end(), rest.begin(), rest.end());
    EXPECT_TRUE(isPermutation(cycle, 10));
    EXPECT_EQ(order.ShownCount(), 0);
}

TEST(RandomOrder, EmptyListPicksNothingAndKeepsTheHistory)
{
    RandomOrder order(9);
    const auto before = picks(order, 6, 2);
    const auto history = order.ShownHistory();
    for (bool newCycle : {false, true}) {
        EXPECT_EQ(order.Pick(0, newCycle), -1);
        EXPECT_EQ(order.DrawAhead(0), -1);
        EXPECT_EQ(order.ShownCount(), 2);
        EXPECT_EQ(order.ShownHistory(), history);
    }
    // The cycle goes on where it was.
    auto all = before;
    for (auto p : picks(order, 6, 4))
        all.push_back(p);
    EXPECT_TRUE(isPermutation(all, 6));
}

TEST(RandomOrder, GrowingListKeepsTheCycleAndAddsTheNewPositions)
{
    RandomOrder order(13);
    auto all = picks(order, 4, 3);
    for (auto p : picks(order, 8, 5))
        all.push_back(p);
    EXPECT_TRUE(isPermutation(all, 8));
    EXPECT_EQ(order.ShownCount(), 0);
}

TEST(RandomOrder, ShrunkListStartsANewCycleWithinItsSize)
{
    RandomOrder order(17);
    picks(order, 10, 7);  // positions up to 9 are in the history
    const auto cycle = picks(order, 3, 3);
    EXPECT_TRUE(isPermutation(cycle, 3));
    EXPECT_EQ(order.ShownCount(), 0);
}

TEST(RandomOrder, DrawnAheadPositionIsTheNextPick)
{
    RandomOrder order(19);
    std::vector<std::int32_t> cycle;
    for (int i = 0; i < 12; ++i) {
        const std::int32_t ahead = order.DrawAhead(12);
        if (i == 0) {
            EXPECT_EQ(ahead, -1) << "nothing to draw from before the first pick";
        } else {
            EXPECT_EQ(order.DrawAhead(12), ahead) << "drawing twice keeps the first draw";
            EXPECT_EQ(order.ShownCount(), i % 12) << "drawing ahead leaves the count";
        }
        const std::int32_t picked = order.Pick(12, false);
        if (i > 0) {
            EXPECT_EQ(picked, ahead);
        }
        cycle.push_back(picked);
    }
    EXPECT_TRUE(isPermutation(cycle, 12));
}

TEST(RandomOrder, DrawnAheadPositionIsThrownAwayOnRefillOrResize)
{
    struct Case {
        const char* what;
        std::int32_t nextSize;
        bool newCycle;
    };
    for (const Case c : {Case{"refilled", 50, true}, Case{"grown", 60, false},
                         Case{"shrunk", 40, false}}) {
        int kept = 0;
        for (std::uint64_t start = 0; start < 40; ++start) {
            RandomOrder order(start);
            picks(order, 50, 49);  // one position left: drawing ahead must find it
            const std::int32_t ahead = order.DrawAhead(50);
            const std::int32_t picked = order.Pick(c.nextSize, c.newCycle);
            ASSERT_GE(picked, 0);
            ASSERT_LT(picked, c.nextSize);
            kept += picked == ahead;
        }
        // A fresh draw over 40 or more positions lands on the old one rarely.
        EXPECT_LT(kept, 10) << c.what;
    }
}

namespace {

// Chi-square of the counts against equal frequencies, compared with its upper
// 0.1 % point (Wilson-Hilferty). The draws are repeatable, so a pass stays a pass.
template <class Key>
void expectEvenlySpread(const std::map<Key, int>& counts, int cells, const char* what)
{
    ASSERT_EQ(static_cast<int>(counts.size()), cells) << what << ": some outcome never comes";
    int total = 0;
    for (const auto& entry : counts)
        total += entry.second;
    const double expected = static_cast<double>(total) / cells;
    double chiSquare = 0;
    for (const auto& entry : counts)
        chiSquare += (entry.second - expected) * (entry.second - expected) / expected;
    const double df = cells - 1;
    const double critical = df * std::pow(1 - 2 / (9 * df) + 3.09 * std::sqrt(2 / (9 * df)), 3);
    EXPECT_LT(chiSquare, critical) << what;
}

}  // namespace

// Every order of a short list must be equally likely, whether the positions are
// drawn at the pick or ahead of it. A draw that favours some unpicked position
// shows up as a large chi-square over the 120 orders of five entries.
TEST(RandomOrder, OrdersOfACycleAreUniform)
{
    const std::int32_t n = 5;
    for (bool drawAhead : {false, true}) {
        std::map<std::vector<std::int32_t>, int> orders;
        for (std::uint64_t start = 0; start < 120 * 200; ++start) {
            RandomOrder order(start);
            std::vector<std::int32_t> cycle;
            for (int i = 0; i < n; ++i) {
                if (drawAhead)
                    order.DrawAhead(n);
                cycle.push_back(order.Pick(n, false));
            }
            ++orders[cycle];
        }
        expectEvenlySpread(orders, 120, drawAhead ? "drawn ahead" : "drawn at the pick");
    }
}

// Consecutive cycles are independent: the first pick of a cycle is uniform over
// all positions whatever the previous cycle ended with, also after a refill.
TEST(RandomOrder, NextCycleDoesNotDependOnTheLastOne)
{
    const std::int32_t n = 5;
    for (bool refill : {false, true}) {
        RandomOrder order(20261208);
        std::map<std::pair<std::int32_t, std::int32_t>, int> transitions;
        std::int32_t last = -1;
        for (int c = 0; c < 5000; ++c) {
            for (int i = 0; i < n; ++i) {
                const std::int32_t p = order.Pick(n, refill && i == 0);
                if (i == 0 && last >= 0)
                    ++transitions[{last, p}];
                last = p;
            }
        }
        expectEvenlySpread(transitions, n * n, refill ? "after a refill" : "cycle after cycle");
    }
}
