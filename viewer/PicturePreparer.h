#pragma once

#include <QByteArray>
#include <QFuture>
#include <QSize>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QObject;

#include "viewer/PictureLoader.h"
#include "viewer/PixelMemory.h"

class QThreadPool;

// Pictures decoded ahead of need on a worker thread of its own, so that
// stepping onto one only hands it over. It holds as many pictures as the
// slide show's room for the screen's size says (PictureRoom), the least
// recently asked-for dropped first, and keeps the memory of as many dropped
// ones as it says. One decode runs at a time (worker or caller), which bounds
// the memory that decoding takes; the program has one preparer.
class PicturePreparer {
public:
    PicturePreparer();
    ~PicturePreparer();
    PicturePreparer(const PicturePreparer&) = delete;
    PicturePreparer& operator=(const PicturePreparer&) = delete;

    // Starts decoding path for a screen of the given device-pixel size, unless
    // it is held or on its way already. Of the requests still waiting, the
    // latest is decoded first.
    void prepare(const QByteArray& path, QSize screen);

    // The picture for path: handed over when prepared, awaited when it is being
    // prepared, else decoded here and now. A picture whose file has changed
    // since it was decoded (device, inode, size, times), and a failure, are
    // decoded again; a failure is not held.
    Picture take(const QByteArray& path, QSize screen);

    // Runs `ready` once on `context`'s thread when path's picture is decoded
    // (it is prepared first if it is not on its way); never waits. If the
    // picture is dropped before, `ready` runs all the same, and a take then
    // decodes it. If `context` goes first, `ready` never runs.
    void whenReady(const QByteArray& path, QSize screen, QObject* context, std::function<void()> ready);

    // Drops every picture not decoded yet but path's, stopping a decode under
    // way: stepping faster than pictures decode, only the picture stepped
    // onto is worth the time. Decoded pictures are kept.
    void dropUnfinishedBut(const QByteArray& path, QSize screen);

    // The colours of the screen pictures are decoded for (sRGB until set).
    // A picture decoded for other colours is decoded again when asked for.
    void setDisplayColours(const QColorSpace& display);

    // True when path is held and decoded (for tests and measurements).
    bool isReady(const QByteArray& path, QSize screen) const;
    int heldCount() const { return static_cast<int>(entries_.size()); }

    // Drops the decodes not yet started and waits for the one under way. The
    // preparer does this as it goes, so that no decode outlives it.
    void WaitForWorkers();
    // Decodes running on the worker (for tests).
    int BusyWorkers() const;

private:
    struct Entry {
        QByteArray path;
        QSize screen;
        QFuture<Picture> picture;
        std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
        QColorSpace display = QColorSpace();  // the screen's colours it is decoded for

        // Decoded, and failed or from a file that has changed since.
        bool stale() const;
        // Not wanted any more: not started, or stopped early.
        void drop()
        {
            stop->store(true);
            picture.cancel();
        }
    };
    std::deque<Entry>::iterator find(const QByteArray& path, QSize screen);
    // Drops the least recently asked-for pictures beyond the room for this
    // screen, and the memory kept beyond it.
    void trim(QSize screen);
    // Decodes path once no other decode is under way (see loadPictureFile
    // for `stop`).
    Picture decodeInTurn(const QByteArray& path, QSize screen, const QColorSpace& display,
                         std::shared_ptr<const std::atomic<bool>> stop = {});
    // Held, decoded for the screen's present colours, and not stale.
    bool usable(const Entry& e) const { return !e.stale() && e.display == display_; }

    // The pixels of pictures dropped, for the next ones decoded: stepping
    // drops about one picture for every one it decodes.
    PixelMemory memory_;
    std::mutex turn_;    // held by the one decode under way
    QColorSpace display_;
    int latest_ = 0;     // the priority of the latest request
    std::deque<Entry> entries_;  // most recently asked-for first
    // Last, so that it goes first: its decodes use the members above.
    std::unique_ptr<QThreadPool> workers_;
};
