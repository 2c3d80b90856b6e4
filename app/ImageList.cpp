#include "app/ImageList.h"

#include <algorithm>
#include <stdexcept>


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
    notify([i](Observer& o) { o.currentEntryChanged(i); });
}

void ImageList::clear()
{
    notify([](Observer& o) { o.aboutToReset(); });
    paths_.clear();
    paths_.shrink_to_fit();
    current_ = -1;
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

void ImageList::moveUp()
{
    if (count() == 0)
        return;
    select(current_ > 0 ? current_ - 1 : count() - 1);  // from the first, or from none, to the last
}

void ImageList::moveDown()
{
    if (current_ < 0)
        return;  // nothing current: stepping down leaves it so
    select(current_ == count() - 1 ? 0 : current_ + 1);
}

void ImageList::setRebuiltSinceLastPick(bool rebuilt)
{
    if (rebuilt == rebuilt_)
        return;
    rebuilt_ = rebuilt;
    notify([rebuilt](Observer& o) { o.rebuiltChanged(rebuilt); });
}
