#pragma once

#include <QByteArray>

#include <cstdint>
#include <vector>

// The image list: full paths of picture files as the file system's bytes, in
// the order the search found them, and which one is current. It also carries
// the flag that a search sets and the random order clears, and what the last
// search counted. Windows show it and forward input to it; nothing here needs
// a window.
class ImageList {
public:
    // Told of every change, in the order the changes happen.
    class Observer {
    public:
        virtual ~Observer() = default;
        virtual void aboutToReset() {}
        virtual void reset() {}  // the entries were replaced; nothing is current
        virtual void aboutToAppend(int /*first*/, int /*last*/) {}
        virtual void appended() {}
        virtual void currentEntryChanged(int /*index*/) {}
        virtual void rebuiltChanged(bool /*rebuilt*/) {}
        // Entries join or leave in one batch (insert, remove); the current
        // entry stays the same picture, its index moving with the others.
        virtual void aboutToInsertOrRemove() {}
        virtual void inserted(const std::vector<std::int32_t>& /*at*/) {}  // their indexes now, rising
        // The indexes they had, rising. When the current entry left,
        // currentEntryChanged(-1) follows.
        virtual void removed(const std::vector<std::int32_t>& /*at*/) {}
    };

    struct SearchCounts {
        std::int64_t files = 0;
        std::int64_t folders = 0;
        std::int64_t notSearched = 0;  // folders links led into too often
    };

    ImageList() = default;
    ImageList(const ImageList&) = delete;
    ImageList& operator=(const ImageList&) = delete;

    void addObserver(Observer* observer);
    void removeObserver(Observer* observer);

    int count() const { return static_cast<int>(paths_.size()); }
    // Entry i; throws std::out_of_range outside the list.
    const QByteArray& path(int i) const;
    // 0-based index of the current entry, -1 for none.
    int current() const { return current_; }
    // The current entry's path; empty when nothing is current.
    QByteArray currentPath() const;

    // Makes entry i current (-1: none). Throws std::out_of_range for an index
    // outside the list.
    void select(int i);

    void clear();
    void append(const QByteArray& path);
    void append(std::vector<QByteArray>&& paths);

    // Pictures that appeared below the searched folder, each put where the
    // search puts it (SearchOrderLess; the list is in that order). A path
    // already in the list, or given twice, is there once. Returns the index
    // each path has now, in the order given, -1 for one that was there.
    // Costs O(k log k + k log n) to place k paths and one move of the entries
    // from the first place taken to the end.
    std::vector<std::int32_t> insert(std::vector<QByteArray> paths);
    // Takes the paths out (those not in the list are passed over). When the
    // current entry leaves, nothing is current and a step goes on from
    // where it was. Returns the indexes the entries had, rising. Costs
    // O(k log n) to find them and one pass over the list.
    std::vector<std::int32_t> remove(const std::vector<QByteArray>& paths);
    // The same in two steps: the indexes of the paths in the list (rising),
    // then taking the entries at those indexes out.
    std::vector<std::int32_t> indexesOf(const std::vector<QByteArray>& paths) const;
    void removeAt(const std::vector<std::int32_t>& gone);
    // The index of path, -1 when it is not in the list (found in search order).
    std::int32_t find(const QByteArray& path) const;
    // The entry that comes after path in search order, wrapping to the first;
    // path need not be in the list. -1 on an empty list.
    std::int32_t after(const QByteArray& path) const;

    // "Scroll Up" and "Scroll Down": the previous or next entry becomes
    // current, wrapping round at the ends. Nothing changes on an empty list,
    // or stepping down with nothing current; after the current entry left,
    // the neighbours it had.
    void moveUp();
    void moveDown();
    // Where the list stands: the current entry's path, or that of the
    // current entry that left; empty for neither.
    QByteArray place() const { return current_ >= 0 ? currentPath() : leftCurrent_; }
    // The entry moveDown makes current, -1 for none.
    std::int32_t below() const;

    // Set by every search that refills the list, cleared by the random pick
    // that then begins a new cycle.
    bool rebuiltSinceLastPick() const { return rebuilt_; }
    void setRebuiltSinceLastPick(bool rebuilt);

    SearchCounts lastSearch() const { return lastSearch_; }
    void setLastSearch(SearchCounts counts) { lastSearch_ = counts; }

private:
    template <class Call>
    void notify(Call call);

    std::vector<QByteArray> paths_;
    int current_ = -1;
    QByteArray leftCurrent_;  // the current entry's path after it left the list
    bool rebuilt_ = false;
    SearchCounts lastSearch_;
    std::vector<Observer*> observers_;
};

// Where entry `index` is after entries joined at `inserted` (indexes now, rising).
std::int32_t IndexAfterInsert(std::int32_t index, const std::vector<std::int32_t>& inserted);
// Where entry `index` is after the entries at `removed` (indexes before, rising)
// left; for one that left, where the entry after it is (possibly the count).
std::int32_t IndexAfterRemove(std::int32_t index, const std::vector<std::int32_t>& removed);
