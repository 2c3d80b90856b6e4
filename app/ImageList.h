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

    // "Scroll Up" and "Scroll Down": the previous or next entry becomes
    // current, wrapping round at the ends. Nothing changes on an empty list,
    // or stepping down with nothing current.
    void moveUp();
    void moveDown();

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
    bool rebuilt_ = false;
    SearchCounts lastSearch_;
    std::vector<Observer*> observers_;
};
