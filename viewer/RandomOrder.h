#pragma once

#include <cstdint>
#include <vector>

// The random order's generator (SplitMix64). Its whole state is one number,
// so a saved order draws on exactly as the one it was saved from.
class OrderGenerator {
public:
    using result_type = std::uint64_t;
    explicit OrderGenerator(std::uint64_t state) : state_(state) {}
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~result_type{0}; }
    result_type operator()();
    std::uint64_t State() const { return state_; }

private:
    std::uint64_t state_;
};

// The intelligent random order: every position of the image list once per cycle,
// in an order drawn uniformly among the positions not yet picked.
//
// The positions picked in this cycle are a bitset. A pick draws over all
// positions until it finds a free one while many are free, and later takes
// the r-th free position, r drawn uniformly, found through counts of the free
// positions per word, per 8 words and so on. What comes next thus depends on
// the set and the generator alone, never on the order the picks came in, so
// the order saves to a small value (Value) and a restored order picks exactly
// as the original.
//
// ShownHistory()[1..ShownCount()] are the positions picked in this cycle, in
// order; element 0 is unused and the history has n + 1 elements, n being the
// list size at the last pick. When a pick completes a cycle the count drops to
// 0 and the history keeps its values until the next cycle overwrites them. An
// order restored from a value lists its cycle's positions in rising order.
class RandomOrder {
public:
    // Everything the next picks depend on, as plain data: for a list of
    // 1,000,000 entries about 125 KB.
    struct Value {
        std::int32_t size = 0;             // the list size at the last pick
        std::vector<std::uint64_t> shown;  // bit p % 64 of word p / 64: position p picked in this cycle
        std::int32_t ahead = -1;           // the position drawn for the next pick, -1 for none
        std::uint64_t generator = 0;       // the generator's state
        bool operator==(const Value&) const = default;
    };

    // The generator starts from the clock and the system's entropy source.
    RandomOrder();
    // A fixed starting value, for repeatable draws.
    explicit RandomOrder(std::uint64_t generatorStart);
    // Goes on where the order that gave the value stood.
    explicit RandomOrder(const Value& value);
    Value Saved() const;

    // Picks a position of a list of n entries and returns it. newCycle drops
    // the history first (the list was refilled). With no entries nothing is
    // picked, nothing changes, and -1 comes back.
    std::int32_t Pick(std::int32_t n, bool newCycle);

    // Draws the position that the next Pick(n, false) will return, so that its
    // picture can be prepared early. History and count are left alone; the
    // drawn position is forgotten by a pick that starts a new cycle or sees
    // another list size. Returns -1 with no entries.
    std::int32_t DrawAhead(std::int32_t n);
    // The position drawn ahead, -1 for none.
    std::int32_t Ahead() const { return ahead_; }

    // Entries joined the list at `at` (their indexes now, rising), which now
    // holds `count`: they join the positions not picked in this cycle, and
    // the other positions, the one drawn ahead among them, follow their
    // entries. An order kept for a list of another size is left alone.
    void Inserted(const std::vector<std::int32_t>& at, std::int32_t count);
    // Entries at `at` (their indexes before, rising) left the list, which
    // now holds `count`: they leave the cycle, the others follow their
    // entries, and a position drawn ahead that left is forgotten. When only
    // picked positions are left the cycle is complete and a new one begins.
    void Removed(const std::vector<std::int32_t>& at, std::int32_t count);
    // Counts a position not picked yet as picked in this cycle, as a pick
    // would (an entry shown out of turn); a position drawn ahead that it
    // takes is forgotten.
    void MarkPicked(std::int32_t position);
    bool Picked(std::int32_t position) const;
    // The list size the order is kept for (at the last pick or change).
    std::int32_t Size() const { return n_; }
    // How many cycles have begun: a caller sees a cycle end by a change.
    std::uint64_t CyclesBegun() const { return cycles_; }

    std::int32_t ShownCount() const { return shownCount_; }
    const std::vector<std::int32_t>& ShownHistory() const { return shownHistory_; }

private:
    void fitToSize(std::int32_t n);
    void startCycle();
    std::int32_t draw();
    std::int32_t unpickedAt(std::int32_t rank) const;
    void markShown(std::int32_t position);
    std::int32_t unpickedInWord(std::size_t word) const;
    void countUnpicked();
    // Takes the cycle over onto positions moved by `to` (-1: gone) in a list
    // of n entries.
    template <class Move>
    void moveTo(std::int32_t n, Move to);

    OrderGenerator generator_;
    std::int32_t n_ = 0;                  // the list size at the last pick
    std::vector<std::uint64_t> shown_;    // positions picked in this cycle
    // Positions not picked, counted per word of shown_ (level 0), then per
    // kFanOut counts of the level below, up to a level of kFanOut or fewer.
    static constexpr std::size_t kFanOut = 8;
    std::vector<std::vector<std::int32_t>> unpicked_;
    std::vector<std::int32_t> shownHistory_{0};
    std::int32_t shownCount_ = 0;
    std::int32_t ahead_ = -1;
    std::uint64_t cycles_ = 0;
};
