#include "program/PictureFrame.h"

#include <sys/stat.h>

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/FolderChange.h"
#include "app/FolderWalk.h"
#include "app/FolderWatcher.h"
#include "config/DialogCore.h"
#include "program/EndSignals.h"
#include "program/Program.h"
#include "program/ScreenSleep.h"
#include "settings/AppSettings.h"
#include "viewer/HiddenPointer.h"
#include "viewer/ShowStateFile.h"

namespace {

using namespace std::chrono_literals;
using enum ShowAction::Kind;

// The random order's first picture is drawn among those found this soon
// after the search began (or among all, when the search ends sooner).
constexpr auto kFirstMoments = 100ms;
// A folder that is missing or holds no picture is searched again this often.
constexpr auto kLookAgain = 3s;
// What was shown is made durable at the latest this long after it was
// shown: after a power cut at most the pictures of the last 30 s repeat.
// Each sync costs the storage a page and a journal entry (about 5 KB on
// ext4), so it comes as late as that allows: at the shortest delay that is
// under 100 bytes a tick.
constexpr auto kSyncWithin = 28s;

void toStderr(const std::string& line) { std::fprintf(stderr, "marbleglen: %s\n", line.c_str()); }

bool isFolder(const QByteArray& path)
{
    struct stat st {};
    return stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The order of this run: the option, else the stored one as the dialog
// shows it; a store that cannot be read leaves progressive.
int orderOfRun(const FrameOptions& options)
{
    if (options.order)
        return *options.order;
    try {
        return ShowsProgressive(AppSettings::ReadText(AppSettings::kSlideShowType)) ? AppSettings::kProgressive
                                                                                    : AppSettings::kIntelligentRandom;
    } catch (const std::exception& e) {
        toStderr(std::string("cannot read the settings: ") + e.what());
        return AppSettings::kProgressive;
    }
}

// What the search looks for, as the main window's search decides it; a store
// that cannot be read leaves JPEGs.
const char* patternOfRun()
{
    try {
        return AppSettings::ReadSwitch(AppSettings::kOtherPictureTypes) ? kAllPicturesPattern : kPicturePattern;
    } catch (const std::exception& e) {
        toStderr(std::string("cannot read the settings: ") + e.what());
        return kPicturePattern;
    }
}

// The walk ends early when nobody waits for it any more.
struct WalkCancelled {};

class PictureFrame : public QObject, private ImageList::Observer {
public:
    PictureFrame(Program& program, const FrameOptions& options, int type);
    ~PictureFrame() override;
    void start();
    // Pictures that appeared below the folder or went, batch by batch, on
    // the program's thread.
    void folderChanged(std::vector<FolderChange> changes);

private:
    bool random() const { return type_ == AppSettings::kIntelligentRandom; }
    void beginWalk();
    void stopWalk();
    void startWatching(std::vector<QByteArray> list, std::vector<WalkedFolder> folders);
    void stopWatching();
    void take();
    void placeFirstPicture();
    void walkEnded();
    void showWaiting();
    void applyChanges(const std::vector<FolderChange>& changes);
    void waitForPictures();
    void showEntry(int index);
    void currentEntryChanged(int index) override;
    void noteWrite(bool written);
    void end();
    SlideShow& show() { return program_.ViewerData().slideShow; }

    Program& program_;
    ImageList& images_;
    FrameOptions options_;
    int type_;
    const char* pattern_;
    ShowStateFile store_;
    std::vector<std::uint64_t> savedShown_;  // sorted
    std::optional<ShowStateFile::Last> savedLast_;
    std::vector<std::uint64_t> shownThisRun_;
    bool writeFailed_ = false;

    // The walk runs on a thread of its own and leaves what it found in pending_.
    std::thread walker_;
    std::mutex mutex_;
    std::vector<QByteArray> pending_;
    std::size_t handedOn_ = 0;  // entries of the walk's list put in pending_ so far
    bool walkDone_ = false;
    std::exception_ptr walkFailure_;
    // The walk's whole list and the folders it listed, for the watcher.
    std::vector<QByteArray> walkList_;
    std::vector<WalkedFolder> walkFolders_;
    // Changes that came while the walk ran, applied in turn once it has
    // ended: what it found then and they agree, whichever came first.
    std::vector<FolderChange> queued_;
    std::atomic<bool> cancel_{false};
    std::atomic<bool> wakeQueued_{false};

    std::vector<QByteArray> found_;  // taken from the walk so far, in the list's order
    bool done_ = false;              // the walk has ended: found_ is the whole list
    bool placed_ = false;            // the first picture is on screen
    bool firstMomentsOver_ = false;
    std::size_t scanned_ = 0;  // entries of found_ looked up in the saved place
    int savedAt_ = -1;         // where the last picture shown is in found_
    int shownFound_ = 0;       // entries of found_ shown in the saved cycle
    bool rebuilding_ = false;
    bool whole_ = false;  // the show runs over the whole list
    std::int32_t recordedCount_ = 0;
    QTimer firstMoments_, lookAgain_, sync_;
    QPointer<fImage> viewer_;
    EndSignals signals_;
    // Follows the folder from the last walk's result; replaced by each walk.
    // Reports of one replaced are dropped: the walk after it saw their changes.
    std::unique_ptr<FolderWatcher> watcher_;
    std::uint64_t watcherRun_ = 0;
#ifdef MARBLEGLEN_TEST_HOOKS
    bool tellChanges_ = qEnvironmentVariableIsSet("MARBLEGLEN_TEST_CHANGES");
#endif
};

PictureFrame::PictureFrame(Program& program, const FrameOptions& options, int type)
    : program_(program), images_(program.Images()), options_(options), type_(type), pattern_(patternOfRun()),
      store_(ShowStateFile::FileFor(ShowStateFile::Directory(), options.folder.toStdString(),
                                    type == AppSettings::kIntelligentRandom ? ShowStateFile::Random
                                                                            : ShowStateFile::Progressive),
             options.folder.toStdString(),
             type == AppSettings::kIntelligentRandom ? ShowStateFile::Random : ShowStateFile::Progressive),
      signals_([this](int) { end(); })
{
    firstMoments_.setSingleShot(true);
    firstMoments_.setInterval(kFirstMoments);
    connect(&firstMoments_, &QTimer::timeout, this, [this] {
        firstMomentsOver_ = true;
        placeFirstPicture();
    });
    lookAgain_.setSingleShot(true);
    lookAgain_.setInterval(kLookAgain);
    connect(&lookAgain_, &QTimer::timeout, this, &PictureFrame::beginWalk);
    sync_.setSingleShot(true);
    sync_.setInterval(kSyncWithin);
    connect(&sync_, &QTimer::timeout, this, [this] { noteWrite(store_.Sync()); });
    images_.addObserver(this);
}

PictureFrame::~PictureFrame()
{
    stopWatching();
    stopWalk();
    images_.removeObserver(this);
    noteWrite(store_.Sync());
}

void PictureFrame::start()
{
    // Never a message box: nobody may be there to close it.
    program_.setMessageSink([](const QString& prompt) { toStderr(prompt.toStdString()); });
    program_.ViewerData().thisRun = {type_, options_.intervalMs, !options_.kiosk};

    ShowStateFile::Loaded saved = store_.Open();
    if (!saved.problem.empty())
        toStderr(saved.problem);
    if (!store_.Error().empty())
        noteWrite(false);
    savedShown_ = std::move(saved.shown);
    std::sort(savedShown_.begin(), savedShown_.end());
    savedLast_ = saved.last;

    // The walk first: it runs while the viewer is built (its picture readers
    // loaded) and shown. What it finds is taken in the event loop.
    beginWalk();
    if (options_.kiosk)
        QApplication::setOverrideCursor(HiddenPointer());  // whatever pointer comes along
    viewer_ = &program_.fImage();
    connect(viewer_, &QObject::destroyed, qApp, &QCoreApplication::quit);
    viewer_->show();  // black until there is a picture
}

void PictureFrame::beginWalk()
{
    stopWatching();
    stopWalk();
    images_.clear();
    found_.clear();
    pending_.clear();
    handedOn_ = 0;
    walkDone_ = done_ = placed_ = firstMomentsOver_ = whole_ = false;
    scanned_ = 0;
    savedAt_ = -1;
    shownFound_ = 0;
    walkFailure_ = nullptr;
    cancel_ = false;
    firstMoments_.start();
    walkList_.clear();
    walkFolders_.clear();
    walker_ = std::thread([this, folder = options_.folder] {
        QByteArray path = folder;
        std::int64_t files = 0, dirs = 0, notSearched = 0;
        std::vector<QByteArray> found;
        std::vector<WalkedFolder> folders;
        std::exception_ptr failure;
        auto hand = [this](const std::vector<QByteArray>& soFar) {
            if (cancel_)
                throw WalkCancelled{};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                pending_.insert(pending_.end(), soFar.begin() + static_cast<std::ptrdiff_t>(handedOn_), soFar.end());
                handedOn_ = soFar.size();
            }
            if (!wakeQueued_.exchange(true))
                QMetaObject::invokeMethod(this, [this] { take(); }, Qt::QueuedConnection);
        };
        try {
            FindFilesWatched(path, pattern_, files, dirs, notSearched, found, hand, &folders);
        } catch (const WalkCancelled&) {
            return;
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!failure) {
                pending_.insert(pending_.end(), found.begin() + static_cast<std::ptrdiff_t>(handedOn_), found.end());
                walkList_ = std::move(found);
                walkFolders_ = std::move(folders);
            }
            walkDone_ = true;
            walkFailure_ = failure;
        }
        QMetaObject::invokeMethod(this, [this] { take(); }, Qt::QueuedConnection);
    });
}

void PictureFrame::startWatching(std::vector<QByteArray> list, std::vector<WalkedFolder> folders)
{
    stopWatching();
    FolderWatcher::Options options;
#ifdef MARBLEGLEN_TEST_HOOKS
    // Tests stand in for a file system without events.
    options.pollOnly = qEnvironmentVariableIsSet("MARBLEGLEN_TEST_POLL");
#endif
    const std::uint64_t run = ++watcherRun_;
    watcher_ = std::make_unique<FolderWatcher>(
        options_.folder, pattern_,
        [this, run](std::vector<FolderChange>&& changes) {
            QMetaObject::invokeMethod(
                this,
                [this, run, changes = std::move(changes)]() mutable {
                    if (run == watcherRun_)
                        folderChanged(std::move(changes));
                },
                Qt::QueuedConnection);
        },
        options);
    watcher_->start(std::move(list), std::move(folders));
}

void PictureFrame::stopWatching()
{
    watcher_.reset();
    ++watcherRun_;
}

void PictureFrame::stopWalk()
{
    if (!walker_.joinable())
        return;
    cancel_ = true;
    walker_.join();
}

// On the program's thread: what the walk found since the last look.
void PictureFrame::take()
{
    wakeQueued_ = false;
    bool ended = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        found_.insert(found_.end(), std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
        pending_.clear();
        ended = walkDone_;
    }
    if (done_)
        return;
    if (ended) {
        walker_.join();
        done_ = true;
        walkEnded();
        // Only now: the watcher starts from the whole list, and sees what
        // changed since the walk listed each folder by its folder's time.
        if (!walkFailure_)
            startWatching(std::exchange(walkList_, {}), std::exchange(walkFolders_, {}));
        if (!queued_.empty())
            folderChanged(std::exchange(queued_, {}));
        return;
    }
    placeFirstPicture();
}

// As soon as the search has found what the first picture needs.
void PictureFrame::placeFirstPicture()
{
    if (placed_ || !viewer_)
        return;
    const int n = static_cast<int>(found_.size());
    if (!random()) {
        int first = -1;
        if (!savedLast_) {
            first = n > 0 ? 0 : -1;
        } else {
            // After the last picture shown: once it and the one after it are
            // found, or by its old position when it is gone.
            for (; savedAt_ < 0 && scanned_ < found_.size(); ++scanned_)
                if (PathHash(found_[scanned_]) == savedLast_->hash)
                    savedAt_ = static_cast<int>(scanned_);
            if (savedAt_ >= 0 && (savedAt_ + 1 < n || done_))
                first = savedAt_ + 1 < n ? savedAt_ + 1 : 0;
            else if (savedAt_ < 0 && done_ && n > 0)
                first = savedLast_->index >= 0 && savedLast_->index < n ? savedLast_->index : 0;
        }
        if (first >= 0)
            showEntry(first);
        return;
    }
    if (!firstMomentsOver_ && !done_)
        return;
    // Uniform over what has been found and not shown in this cycle, once
    // there is one.
    for (; scanned_ < found_.size(); ++scanned_)
        if (std::binary_search(savedShown_.begin(), savedShown_.end(), PathHash(found_[scanned_])))
            ++shownFound_;
    if (shownFound_ == n)
        return;  // wait for more, or for the whole list to begin a new cycle
    std::int32_t shown = 0;
    RandomOrder::Value value =
        ShownAmong(savedShown_, n, [this](std::int32_t i) -> const QByteArray& { return found_[static_cast<std::size_t>(i)]; }, shown);
    images_.clear();
    images_.append(std::vector<QByteArray>(found_.begin(), found_.end()));
    rebuilding_ = true;
    show() = SlideShow(ShowValue{ShowOrder::Random, false, -1, {}, 0, value}, images_);
    recordedCount_ = show().Order().ShownCount();
    rebuilding_ = false;
    show().RandomPick(images_);
    placed_ = true;
    viewer_->Perform({View});
}

void PictureFrame::showEntry(int index)
{
    images_.clear();
    images_.append(std::vector<QByteArray>(found_.begin(), found_.end()));
    images_.select(index);
    placed_ = true;
    viewer_->Perform({View});
}

void PictureFrame::walkEnded()
{
    if (!viewer_)
        return;
    if (walkFailure_) {
        try {
            std::rethrow_exception(walkFailure_);
        } catch (const std::exception& e) {
            toStderr("the search of " + options_.folder.toStdString() + " failed: " + e.what());
        }
        found_.clear();
    }
    const int n = static_cast<int>(found_.size());
    if (n == 0) {
        showWaiting();
        return;
    }
    if (!placed_)
        placeFirstPicture();
    // The list is whole now: the entries found since the first picture join it.
    if (images_.count() < n)
        images_.append(std::vector<QByteArray>(found_.begin() + images_.count(), found_.end()));
    found_.clear();
    found_.shrink_to_fit();

    rebuilding_ = true;
    if (!random()) {
        show() = SlideShow(ShowValue{ShowOrder::Progressive, true, images_.current(), {}, 0, {}}, images_);
        rebuilding_ = false;
        viewer_->Perform({RunProgressive});
        return;
    }
    // The rest of the cycle is drawn over the whole list: what was shown in
    // this cycle, before this run and in it, stays shown.
    savedShown_.insert(savedShown_.end(), shownThisRun_.begin(), shownThisRun_.end());
    std::sort(savedShown_.begin(), savedShown_.end());
    std::int32_t shown = 0;
    const RandomOrder::Value value =
        ShownAmong(savedShown_, n, [this](std::int32_t i) -> const QByteArray& { return images_.path(i); }, shown);
    show() = SlideShow(ShowValue{ShowOrder::Random, true, images_.current(), {}, 0, value}, images_);
    rebuilding_ = false;
    whole_ = true;
    savedShown_.clear();
    savedShown_.shrink_to_fit();
    shownThisRun_.clear();
    recordedCount_ = show().Order().ShownCount();
    if (shown == n) {
        // Every picture was shown: a new cycle, whose first one is drawn now.
        noteWrite(store_.NewCycle());
    }
    if (!placed_) {
        show().RandomPick(images_);
        placed_ = true;
        viewer_->Perform({View});
    }
    viewer_->Perform({RunRandom});
}

// Black with a line saying what is looked for where, until a search finds
// pictures.
void PictureFrame::showWaiting()
{
    images_.clear();
    show() = SlideShow();
    const QString folder = QString::fromLocal8Bit(options_.folder);
    // The other picture types are too many to list on one line.
    const QString what = std::string_view(pattern_) == kPicturePattern ? "*.jpg pictures" : "pictures";
    viewer_->ShowNotice(isFolder(options_.folder)
                            ? QString("Looking for %1 in %2: none there yet").arg(what, folder)
                            : QString("Looking for %1 in %2: the folder is not there yet").arg(what, folder));
    lookAgain_.start();
}

void PictureFrame::folderChanged(std::vector<FolderChange> changes)
{
    if (!viewer_ || changes.empty())
        return;
    if (!done_) {
        queued_.insert(queued_.end(), std::make_move_iterator(changes.begin()), std::make_move_iterator(changes.end()));
        return;
    }
    if (images_.count() == 0) {
        // Waiting: a search now finds what came and starts the show as at start.
        if (std::any_of(changes.begin(), changes.end(), [](const FolderChange& c) { return c.kind == FolderChange::Added; })) {
            lookAgain_.stop();
            beginWalk();
        }
        return;
    }
    applyChanges(changes);
}

// Runs of one kind go to the show together, in the order they came (a
// picture removed and added again is there).
void PictureFrame::applyChanges(const std::vector<FolderChange>& changes)
{
    const std::uint64_t cycles = show().Order().CyclesBegun();
    show().SetNewFirst(options_.newFirst);
    for (auto run = changes.begin(); run != changes.end();) {
        const auto end = std::find_if(run, changes.end(), [&](const FolderChange& c) { return c.kind != run->kind; });
        std::vector<QByteArray> paths;
        paths.reserve(static_cast<std::size_t>(end - run));
        for (auto c = run; c != end; ++c) {
            paths.push_back(c->path);
#ifdef MARBLEGLEN_TEST_HOOKS
            // When each change reached the list, for tests and benchmarks.
            if (tellChanges_)
                std::fprintf(stderr, "marbleglen: %s %lld %s\n", c->kind == FolderChange::Added ? "joined" : "left",
                             static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                        std::chrono::steady_clock::now().time_since_epoch())
                                                        .count()),
                             c->path.constData());
#endif
        }
        viewer_->Perform(run->kind == FolderChange::Added ? show().Add(std::move(paths), images_)
                                                           : show().Remove(paths, images_));
        run = end;
    }
    if (random()) {
        // Only pictures shown are left, or those that came back were the
        // last not shown: the cycle is complete.
        if (show().Order().CyclesBegun() != cycles)
            noteWrite(store_.NewCycle());
        recordedCount_ = show().Order().ShownCount();
    }
    if (images_.count() == 0)
        waitForPictures();
}

// The last picture went: what this cycle showed stays shown when pictures
// come back, and a progressive show goes on after the last one shown.
void PictureFrame::waitForPictures()
{
    if (random()) {
        savedShown_ = show().Saved(images_).leftShown;
        shownThisRun_.clear();
    }
    viewer_->Perform({StopTimers});
    showWaiting();
}

// Every picture that becomes current is written down as it is shown: in
// random order only the picks of the cycle, in progressive order each one.
void PictureFrame::currentEntryChanged(int index)
{
    if (rebuilding_ || index < 0)
        return;
    const QByteArray& path = images_.path(index);
    if (!random()) {
        savedLast_ = ShowStateFile::Last{PathHash(path), index};
        noteWrite(store_.Shown(savedLast_->hash, index));
    } else {
        const std::int32_t count = show().Order().ShownCount();
        // Before the list is whole, a pick that takes the last free entry
        // of what was found so far ends no cycle: the rest is still coming.
        if (count == recordedCount_ + 1 || (count == 0 && !done_)) {
            const std::uint64_t h = PathHash(path);
            if (!whole_)
                shownThisRun_.push_back(h);
            noteWrite(store_.Shown(h, index));
        } else if (count < recordedCount_) {
            noteWrite(store_.NewCycle());
            savedShown_.clear();
            shownThisRun_.clear();
        }
        recordedCount_ = count;
    }
    if (options_.verbose) {
        std::fwrite(path.constData(), 1, static_cast<std::size_t>(path.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

// A write that failed is said once; the show goes on regardless.
void PictureFrame::noteWrite(bool written)
{
    if (!written && !writeFailed_ && !store_.Error().empty()) {
        writeFailed_ = true;
        toStderr(store_.Error() + "; the show goes on without keeping its place");
    }
    if (store_.Dirty() && !sync_.isActive())
        sync_.start();
}

// A signal to end: the place is saved and the viewer closed (giving back the
// screen saver), which ends the program.
void PictureFrame::end()
{
    stopWatching();
    stopWalk();
    sync_.stop();
    noteWrite(store_.Sync());
    if (viewer_)
        viewer_->close();
    QCoreApplication::exit(0);
}

}  // namespace

int RunPictureFrame(Program& program, const FrameOptions& options)
{
    PictureFrame frame(program, options, orderOfRun(options));
    frame.start();
    // Goes before the frame: the screen is on again before the show is taken down.
    std::optional<ScreenSleep> sleep;
    if (options.awake) {
        sleep.emplace(program, *options.awake);
        sleep->Follow(program.fImage());
    }
    return QApplication::exec();
}
