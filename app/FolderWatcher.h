#pragma once

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/FolderChange.h"
#include "app/FolderWalk.h"
#include "settings/UniqueFd.h"

// Follows the pictures below a folder after its search has run, and tells of
// complete pictures that appear and of pictures that go.
//
// How to use it:
//   FolderWatcher watcher(root, kPicturePattern, report);
//   watcher.start(std::move(found), std::move(folders));
// where `found` and `folders` come from one FindFiles (or FindFilesWatched)
// of `root` with the same pattern, `folders` filled through its last argument.
// Everything after that happens on the watcher's own thread: start() returns at
// once, and no Qt event loop is needed. Destroying the watcher wakes its
// thread and stops it at once (no wait for a timer), closes its descriptors,
// and after that `report` is never called again; `report` itself must not
// destroy the watcher. A show that wants the changes on the Qt thread posts
// them there from `report` (QMetaObject::invokeMethod, queued).
//
// What `report` is told, on the watcher's thread, in batches (never an empty
// one), in the order the changes happened:
// - Added: a picture that appeared, complete: closed after writing or moved
//   into place; with events, a file that only appeared (a hard link, or the
//   first one made in a folder, closed before the watch was told to report
//   closes there) as soon as nobody has it open for writing (a read lease is
//   granted); any other new file (a polled folder's, or where leases cannot
//   tell) once its size and modification time have stayed the same for
//   `settle`. A file
//   found by listing a folder is complete when it has not been changed for
//   `settle` (on a share: seen unchanged for that long). A half-written file
//   is never reported.
// - Removed: a picture that was deleted or moved away, or that was in a folder
//   that went (removed, moved away, its drive unmounted).
// - A rename is Removed for the old path, then Added for the new one.
// Paths are written as the search writes them: the root with a trailing "/",
// the sub-folders' names (links followed, as the search follows them), the
// file's name; the file system's bytes. Each picture below the folder is
// reported once for every path the search would list it under. Pictures the
// search found are not reported again; a picture that is replaced in place
// (rewritten, or another file renamed over it) is not reported at all.
//
// How it watches:
// - inotify on every folder of the tree, set up on the worker from the search's
//   result. A folder whose modification time changed between its listing by the
//   search and its watch being set (or too close to it to tell) is listed again,
//   so that nothing added or removed in between is missed.
// - New folders (made, moved in, or a link to one) are watched and listed, and
//   their pictures reported.
// - Folders on file systems that give no events for changes made elsewhere
//   (network shares: NFS, SMB/CIFS; FUSE file systems such as sshfs; 9p;
//   AFS, Ceph, Coda, GFS2, OCFS2, Lustre, VirtualBox shared folders), and
//   folders past the system's watch limit, are polled every `pollEvery`: one
//   stat each, listed again only when their modification time changed.
// - When the root goes (removed, moved away, its drive unmounted), every
//   picture is reported Removed, and the root is looked for every `lookAgain`;
//   when it is back, its pictures, found by the search, are reported Added. A
//   sub-folder's drive that is unmounted and mounted again does the same.
// - A drive mounted on a folder already followed (the root, or a folder an
//   automounter has just made) gives no event there: a quarter of a second
//   after the system's mount table changes (once for a burst of changes) each
//   folder is looked at again, and one that now leads elsewhere is followed
//   anew.
// - The watcher keeps no descriptor open on a folder and never changes the
//   working folder, so it never holds a drive busy.
class FolderWatcher {
public:
    using Report = std::function<void(std::vector<FolderChange>&& changes)>;

    struct Options {
        // Folders without events are looked at this often. A stat each time is
        // cheap even on a share of thousands of folders (mostly answered from
        // the client's cache), and new photos there still show within seconds.
        std::chrono::milliseconds pollEvery{5000};
        // A missing root, or a sub-folder whose drive went, is looked for this
        // often (as often as the picture frame looks for a missing folder).
        std::chrono::milliseconds lookAgain{3000};
        // A file known only to exist is complete once its size and
        // modification time stayed the same this long.
        std::chrono::milliseconds settle{2000};
        // For tests: every folder polled, as on a file system without events.
        bool pollOnly = false;
        // For tests: the watch limit taken as reached after this many watches
        // (-1: only the system's limit).
        int maxWatches = -1;
    };

    // Figures for tests and benchmarks.
    struct Counts {
        int watched = 0;  // folders followed through inotify
        int polled = 0;   // folders polled
    };

    // `root` as the search was given it; `pattern` as MatchesSearch takes it
    // (kPicturePattern or kAllPicturesPattern).
    FolderWatcher(QByteArray root, std::string pattern, Report report, Options options);
    FolderWatcher(QByteArray root, std::string pattern, Report report);
    ~FolderWatcher();

    FolderWatcher(const FolderWatcher&) = delete;
    FolderWatcher& operator=(const FolderWatcher&) = delete;

    // Begins watching, from what the search of the root found: its list and
    // the folders it listed. Without `folders` every folder that holds a
    // picture is listed again. A root that is missing is looked for until it
    // is there. Call once.
    void start(std::vector<QByteArray> found, std::vector<WalkedFolder> folders = {});

    // Waits until every folder is watched or polled; false when `timeout`
    // passed first.
    bool waitUntilSetUp(std::chrono::milliseconds timeout);
    Counts counts() const { return {watched_.load(), polled_.load()}; }

private:
    class Tree;
    void run(std::vector<QByteArray> found, std::vector<WalkedFolder> folders);

    QByteArray root_;
    std::string pattern_;
    Report report_;
    Options options_;
    UniqueFd inotify_;
    UniqueFd wake_;  // an eventfd: written to stop the worker
    std::atomic<bool> stop_{false};
    std::atomic<int> watched_{0}, polled_{0};
    std::mutex mutex_;
    std::condition_variable setUpCv_;
    bool setUp_ = false;  // guarded by mutex_
    std::thread worker_;
};
