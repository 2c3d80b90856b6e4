#include "app/ImageList.h"

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string_view>

#include "app/NaturalOrder.h"

namespace {
bool searchLess(const QByteArray& a, const QByteArray& b)
{
    return SearchOrderLess(std::string_view(a.constData(), static_cast<std::size_t>(a.size())),
                           std::string_view(b.constData(), static_cast<std::size_t>(b.size())));
}
}  // namespace


template <class Call>
void ImageList::notify(Call call)
{
    for (Observer* o : observers_)
        call(*o);
}

void ImageList::addObserver(Observer* observer) { observers_.push_back(observer); }

void ImageList::removeObserver(Observer* observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

const QByteArray& ImageList::path(int i) const
{
    if (i < 0 || i >= count())
        throw std::out_of_range("image list: index outside the list");
    return paths_[static_cast<std::size_t>(i)];
}

QByteArray ImageList::currentPath() const
{
    return current_ < 0 ? QByteArray() : paths_[static_cast<std::size_t>(current_)];
}

void ImageList::select(int i)
{
    if (i < -1 || i >= count())
        throw std::out_of_range("image list: index outside the list");
    current_ = i;
    leftCurrent_.clear();
    notify([i](Observer& o) { o.currentEntryChanged(i); });
}

void ImageList::clear()
{
    notify([](Observer& o) { o.aboutToReset(); });
    paths_.clear();
    paths_.shrink_to_fit();
    current_ = -1;
    leftCurrent_.clear();
    notify([](Observer& o) { o.reset(); });
}

void ImageList::append(const QByteArray& path)
{
    const int at = count();
    notify([at](Observer& o) { o.aboutToAppend(at, at); });
    paths_.push_back(path);
    notify([](Observer& o) { o.appended(); });
}

void ImageList::append(std::vector<QByteArray>&& paths)
{
    if (paths.empty())
        return;
    if (paths_.empty()) {
        // Taken over whole; views lay the rows out once.
        notify([](Observer& o) { o.aboutToReset(); });
        paths_ = std::move(paths);
        current_ = -1;
        notify([](Observer& o) { o.reset(); });
        return;
    }
    const int first = count();
    notify([first, n = static_cast<int>(paths.size())](Observer& o) { o.aboutToAppend(first, first + n - 1); });
    paths_.insert(paths_.end(), std::make_move_iterator(paths.begin()), std::make_move_iterator(paths.end()));
    notify([](Observer& o) { o.appended(); });
}

std::vector<std::int32_t> ImageList::insert(std::vector<QByteArray> paths)
{
    std::vector<std::int32_t> at(paths.size(), -1);
    // The batch in search order, each path once, less those in the list.
    std::vector<std::size_t> order(paths.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return searchLess(paths[a], paths[b]); });
    std::vector<std::size_t> joining;
    for (const std::size_t k : order)
        if ((joining.empty() || searchLess(paths[joining.back()], paths[k])) && find(paths[k]) < 0)
            joining.push_back(k);
    if (joining.empty())
        return at;

    notify([](Observer& o) { o.aboutToInsertOrRemove(); });
    // Merged from the back: the entries before the first place taken stay
    // where they are.
    std::size_t old = paths_.size(), to = paths_.size() + joining.size();
    paths_.resize(to);
    for (auto k = joining.rbegin(); k != joining.rend(); ++k) {
        const auto first = paths_.begin();
        const auto place = std::upper_bound(first, first + static_cast<std::ptrdiff_t>(old), paths[*k], searchLess);
        std::move_backward(place, first + static_cast<std::ptrdiff_t>(old), first + static_cast<std::ptrdiff_t>(to));
        to -= old - static_cast<std::size_t>(place - first);
        old = static_cast<std::size_t>(place - first);
        paths_[--to] = std::move(paths[*k]);
        at[*k] = static_cast<std::int32_t>(to);
    }
    std::vector<std::int32_t> rising(joining.size());
    std::transform(joining.begin(), joining.end(), rising.begin(), [&at](std::size_t k) { return at[k]; });
    if (current_ >= 0)
        current_ = IndexAfterInsert(current_, rising);
    notify([&rising](Observer& o) { o.inserted(rising); });
    return at;
}

std::vector<std::int32_t> ImageList::indexesOf(const std::vector<QByteArray>& paths) const
{
    std::vector<std::int32_t> found;
    for (const QByteArray& path : paths)
        if (const std::int32_t i = find(path); i >= 0)
            found.push_back(i);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

std::vector<std::int32_t> ImageList::remove(const std::vector<QByteArray>& paths)
{
    std::vector<std::int32_t> gone = indexesOf(paths);
    removeAt(gone);
    return gone;
}

void ImageList::removeAt(const std::vector<std::int32_t>& gone)
{
    if (gone.empty())
        return;

    notify([](Observer& o) { o.aboutToInsertOrRemove(); });
    const bool currentLeft = current_ >= 0 && std::binary_search(gone.begin(), gone.end(), current_);
    if (currentLeft)
        leftCurrent_ = paths_[static_cast<std::size_t>(current_)];
    auto next = gone.begin();
    std::size_t to = static_cast<std::size_t>(gone.front());
    for (std::size_t from = to; from < paths_.size(); ++from) {
        if (next != gone.end() && static_cast<std::size_t>(*next) == from)
            ++next;
        else
            paths_[to++] = std::move(paths_[from]);
    }
    paths_.resize(to);
    current_ = currentLeft ? -1 : current_ >= 0 ? IndexAfterRemove(current_, gone) : -1;
    notify([&gone](Observer& o) { o.removed(gone); });
    if (currentLeft)
        notify([](Observer& o) { o.currentEntryChanged(-1); });
}

std::int32_t ImageList::find(const QByteArray& path) const
{
    const auto at = std::lower_bound(paths_.begin(), paths_.end(), path, searchLess);
    return at != paths_.end() && *at == path ? static_cast<std::int32_t>(at - paths_.begin()) : -1;
}

std::int32_t ImageList::after(const QByteArray& path) const
{
    if (paths_.empty())
        return -1;
    const auto at = std::upper_bound(paths_.begin(), paths_.end(), path, searchLess);
    return at == paths_.end() ? 0 : static_cast<std::int32_t>(at - paths_.begin());
}

std::int32_t ImageList::below() const
{
    if (current_ >= 0)
        return current_ == count() - 1 ? 0 : current_ + 1;
    return leftCurrent_.isEmpty() ? -1 : after(leftCurrent_);  // nothing current: down goes nowhere
}

void ImageList::moveUp()
{
    if (count() == 0)
        return;
    if (current_ < 0 && !leftCurrent_.isEmpty()) {
        const std::int32_t next = after(leftCurrent_);
        select(next > 0 ? next - 1 : count() - 1);
        return;
    }
    select(current_ > 0 ? current_ - 1 : count() - 1);  // from the first, or from none, to the last
}

void ImageList::moveDown()
{
    if (const std::int32_t next = below(); next >= 0)
        select(next);
}

void ImageList::setRebuiltSinceLastPick(bool rebuilt)
{
    if (rebuilt == rebuilt_)
        return;
    rebuilt_ = rebuilt;
    notify([rebuilt](Observer& o) { o.rebuiltChanged(rebuilt); });
}

std::int32_t IndexAfterInsert(std::int32_t index, const std::vector<std::int32_t>& inserted)
{
    for (const std::int32_t at : inserted) {
        if (at > index)
            break;
        ++index;
    }
    return index;
}

std::int32_t IndexAfterRemove(std::int32_t index, const std::vector<std::int32_t>& removed)
{
    return index - static_cast<std::int32_t>(std::lower_bound(removed.begin(), removed.end(), index) - removed.begin());
}
