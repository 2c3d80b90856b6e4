#include "viewer/PicturePreparer.h"

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <QtConcurrent/qtconcurrenttask.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "viewer/SlideShow.h"

PicturePreparer::PicturePreparer() : workers_(std::make_unique<QThreadPool>())
{
    // One worker: preparing is for the next step or two, not for throughput.
    workers_->setMaxThreadCount(1);
    workers_->setExpiryTimeout(-1);
}

PicturePreparer::~PicturePreparer()
{
    // Work not started is dropped and a decode under way stops early; the
    // preparer waits for it, so that no decode outlives it.
    for (Entry& e : entries_)
        e.drop();
    WaitForWorkers();
}

Picture PicturePreparer::decodeInTurn(const QByteArray& path, QSize screen, const QColorSpace& display,
                                      std::shared_ptr<const std::atomic<bool>> stop)
{
    std::lock_guard<std::mutex> turn(turn_);
    Picture picture = loadPictureFile(path, screen, stop.get(), &memory_, display);
#ifdef __GLIBC__
    // What the decode took and freed (a progressive JPEG's coefficients, a
    // picture another library decoded whole) stays resident in malloc's
    // arena for this thread until it is given back.
    malloc_trim(0);
#endif
    return picture;
}

void PicturePreparer::setDisplayColours(const QColorSpace& display) { display_ = display; }

void PicturePreparer::WaitForWorkers()
{
    workers_->clear();
    workers_->waitForDone();
}

int PicturePreparer::BusyWorkers() const { return workers_->activeThreadCount(); }

// A decoded picture may be handed over only while its file is still the one
// decoded: a photo edited since, or one still being copied when it was first
// read, is decoded again. A failure is never kept for a later step.
bool PicturePreparer::Entry::stale() const
{
    if (!picture.isFinished() || picture.resultCount() == 0)
        return false;
    const Picture& p = picture.result();
    return !p.ok() || !p.file || fileIdentity(path) != p.file;
}

std::deque<PicturePreparer::Entry>::iterator PicturePreparer::find(const QByteArray& path, QSize screen)
{
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if (it->path == path && it->screen == screen)
            return it;
    return entries_.end();
}

void PicturePreparer::trim(QSize screen)
{
    const PictureRoom room = PictureRoom::For(screen);
    while (entries_.size() > static_cast<size_t>(room.held)) {
        entries_.back().drop();
        entries_.pop_back();
    }
    memory_.setKept(room.kept);
}

void PicturePreparer::prepare(const QByteArray& path, QSize screen)
{
    if (path.isEmpty() || screen.isEmpty())
        return;
    auto it = find(path, screen);
    if (it != entries_.end()) {
        Entry e = std::move(*it);
        entries_.erase(it);
        if (usable(e)) {
            entries_.push_front(std::move(e));
            return;
        }
        e.drop();
    }
    // The latest request is decoded first: it is the one needed soonest (the
    // slide show's next picture, or the way the user is stepping).
    Entry e{path, screen, {}};
    e.display = display_;
    std::shared_ptr<const std::atomic<bool>> stop = e.stop;
    e.picture = QtConcurrent::task([this, path, screen, stop, display = display_] {
                    return decodeInTurn(path, screen, display, stop);
                })
                    .onThreadPool(*workers_)
                    .withPriority(++latest_)
                    .spawn();
    entries_.push_front(std::move(e));
    trim(screen);
}

Picture PicturePreparer::take(const QByteArray& path, QSize screen)
{
    auto it = find(path, screen);
    if (it != entries_.end() && !it->picture.isCanceled()) {
        Entry e = std::move(*it);
        entries_.erase(it);
        e.picture.waitForFinished();
        if (e.picture.resultCount() > 0 && usable(e)) {
            Picture p = e.picture.result();
            entries_.push_front(std::move(e));
            return p;
        }
    }
    Picture p = decodeInTurn(path, screen, display_);
    if (p.ok()) {
        Entry e{path, screen, QtFuture::makeReadyFuture(p)};
        e.display = display_;
        entries_.push_front(std::move(e));
        trim(screen);
    }
    return p;
}

bool PicturePreparer::isReady(const QByteArray& path, QSize screen) const
{
    for (const Entry& e : entries_)
        if (e.path == path && e.screen == screen)
            return e.picture.isFinished() && e.picture.resultCount() > 0;
    return false;
}

void PicturePreparer::whenReady(const QByteArray& path, QSize screen, QObject* context, std::function<void()> ready)
{
    prepare(path, screen);
    auto it = find(path, screen);
    if (it == entries_.end()) {
        QMetaObject::invokeMethod(context, std::move(ready), Qt::QueuedConnection);
        return;
    }
    // A watcher belonging to `context` (not a continuation holding it): when
    // the window goes first, its watcher goes with it and `ready` never runs
    // on what is gone.
    auto* watcher = new QFutureWatcher<Picture>(context);
    auto once = [watcher, ready = std::move(ready)] {
        watcher->disconnect();
        watcher->deleteLater();
        ready();
    };
    QObject::connect(watcher, &QFutureWatcherBase::finished, watcher, once);
    QObject::connect(watcher, &QFutureWatcherBase::canceled, watcher, once);
    watcher->setFuture(it->picture);
}

void PicturePreparer::dropUnfinishedBut(const QByteArray& path, QSize screen)
{
    for (auto it = entries_.begin(); it != entries_.end();) {
        if ((it->path == path && it->screen == screen) || it->picture.isFinished()) {
            ++it;
            continue;
        }
        it->drop();
        it = entries_.erase(it);
    }
}
