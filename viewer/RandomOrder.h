#pragma once

#include <cstdint>
#include <random>
#include <vector>

// The intelligent random order: every position of the image list once per cycle,
// in an order drawn uniformly among the positions not yet picked.
//
// Positions not yet picked in this cycle sit at the front of a permutation of
// 0..n-1 and the picked ones at its back, so a pick draws one of the front
// positions and swaps it to the back: constant work, however long the list and
// however far into the cycle. A new cycle only moves the boundary back.
//
// ShownHistory()[1..ShownCount()] are the positions picked in this cycle, in
// order; element 0 is unused and the history has n + 1 elements, n being the
// list size at the last pick. When a pick completes a cycle the count drops to
// 0 and the history keeps its values until the next cycle overwrites them.
class RandomOrder {
public:
    // The generator starts from the clock and the system's entropy source.
    RandomOrder();
    // A fixed starting value, for repeatable draws.
    explicit RandomOrder(std::uint64_t generatorStart);

    // Picks a position of a list of n entries and returns it. newCycle drops
    // the history first (the list was refilled). With no entries nothing is
    // picked, nothing changes, and -1 comes back.
    std::int32_t Pick(std::int32_t n, bool newCycle);

    // Draws the position that the next Pick(n, false) will return, so that its
    // picture can be prepared early. History and count are left alone; the
    // drawn position is forgotten by a pick that starts a new cycle or sees
    // another list size. Returns -1 with no entries.
    std::int32_t DrawAhead(std::int32_t n);

    std::int32_t ShownCount() const { return shownCount_; }
    const std::vector<std::int32_t>& ShownHistory() const { return shownHistory_; }

private:
    void fitToSize(std::int32_t n);
    std::int32_t unpicked() const;
    std::int32_t drawIndex();

    std::mt19937_64 generator_;
    std::vector<std::int32_t> pool_;  // permutation of 0..n-1: unpicked, then picked
    std::vector<std::int32_t> shownHistory_{0};
    std::int32_t shownCount_ = 0;
    std::int32_t aheadIndex_ = -1;  // index into pool_ drawn ahead, -1 for none
};
