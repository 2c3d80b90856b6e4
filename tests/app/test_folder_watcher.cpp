// The folder watcher on real folders: what it reports of each kind of change,
// with inotify, with every folder polled, and past the watch limit.
#include <gtest/gtest.h>

#include <QDir>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <iterator>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "FolderTree.h"
#include "app/FolderWatcher.h"

namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Names = std::vector<QByteArray>;
}  // namespace

// Reports print as text.
void PrintTo(const QByteArray& bytes, std::ostream* os) { *os << '"' << bytes.toStdString() << '"'; }

namespace {

// Short periods, so that each change is seen within a second.
FolderWatcher::Options quick()
{
    FolderWatcher::Options o;
    o.pollEvery = 150ms;
    o.lookAgain = 200ms;
    o.settle = 400ms;
    return o;
}

// What a watcher reported, "+path" for Added and "-path" for Removed, relative
// to its root, with the time each came.
class Reports {
public:
    explicit Reports(QByteArray root) : root_(root + "/") {}
    FolderWatcher::Report sink()
    {
        return [this](std::vector<FolderChange>&& changes) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const FolderChange& c : changes) {
                EXPECT_TRUE(c.path.startsWith(root_)) << c.path.constData();
                seen_.push_back((c.kind == FolderChange::Added ? "+" : "-") + c.path.mid(root_.size()));
                at_.push_back(Clock::now());
            }
            cv_.notify_all();
        };
    }
    // Waits for `count` reports, then `quiet` longer for any extra; sorted.
    Names wait(std::size_t count, std::chrono::milliseconds timeout = 5s, std::chrono::milliseconds quiet = 300ms)
    {
        waitFor(count, timeout);
        std::this_thread::sleep_for(quiet);
        return take();
    }
    void waitFor(std::size_t count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, timeout, [&] { return seen_.size() >= count; });
    }
    Names take()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Names all = std::exchange(seen_, {});
        std::sort(all.begin(), all.end());
        return all;
    }
    std::vector<Clock::time_point> times()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return at_;
    }

private:
    QByteArray root_;
    std::mutex mutex_;
    std::condition_variable cv_;
    Names seen_;
    std::vector<Clock::time_point> at_;
};

// A watcher started from a real search of `root`, as a show starts it.
// `afterReport` runs on the watcher's thread after each report.
std::unique_ptr<FolderWatcher> watch(const QByteArray& root, Reports& reports, FolderWatcher::Options options,
                                     const std::function<void()>& afterSearch = {},
                                     const std::function<void()>& afterReport = {})
{
    QByteArray path = root;
    std::int64_t files = 0, dirs = 0, notSearched = 0;
    std::vector<QByteArray> found;
    std::vector<WalkedFolder> folders;
    FindFiles(path, kPicturePattern, files, dirs, notSearched, found, nullptr, kWalkThreads, &folders);
    if (afterSearch)
        afterSearch();
    FolderWatcher::Report report = reports.sink();
    if (afterReport)
        report = [report, afterReport](std::vector<FolderChange>&& changes) {
            report(std::move(changes));
            afterReport();
        };
    auto watcher = std::make_unique<FolderWatcher>(root, kPicturePattern, report, options);
    watcher->start(std::move(found), std::move(folders));
    EXPECT_TRUE(watcher->waitUntilSetUp(5s));
    return watcher;
}

void write(const QByteArray& path, const QByteArray& bytes = "picture")
{
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path.constData();
    ASSERT_EQ(::write(fd, bytes.constData(), static_cast<std::size_t>(bytes.size())), bytes.size());
    ASSERT_EQ(close(fd), 0);
}

void removeAll(const QByteArray& path) { QDir(QFile::decodeName(path)).removeRecursively(); }

struct Mode {
    const char* name;
    FolderWatcher::Options options;
};

std::vector<Mode> modes()
{
    FolderWatcher::Options polled = quick(), limited = quick();
    polled.pollOnly = true;
    limited.maxWatches = 1;  // the root watched, every folder below it polled
    return {{"inotify", quick()}, {"every folder polled", polled}, {"past the watch limit", limited}};
}
}  // namespace

TEST(FolderWatcher, ReportsEachChangeOnceWithEventsAndWithout)
{
    using Tree = FolderTree;
    struct Case {
        const char* what;
        std::function<void(Tree&)> before;  // ahead of the search
        std::function<void(Tree&)> between;  // after the search, before the watch
        std::function<void(Tree&)> change;
        Names expected;
    } cases[] = {
        {"a picture written", {}, {}, [](Tree& t) { write(t.path("s/new.jpg")); }, {"+s/new.jpg"}},
        {"a picture removed", {}, {}, [](Tree& t) { unlink(t.path("a.jpg")); }, {"-a.jpg"}},
        {"a picture renamed", {}, {}, [](Tree& t) { rename(t.path("s/c.jpg"), t.path("s/e.JPG")); },
         {"+s/e.JPG", "-s/c.jpg"}},
        {"renamed to another type", {}, {}, [](Tree& t) { rename(t.path("a.jpg"), t.path("a.png")); }, {"-a.jpg"}},
        {"a file of another type", {}, {}, [](Tree& t) { write(t.path("x.png")); }, {}},
        {"a hard link", {}, {}, [](Tree& t) { link(t.path("a.jpg"), t.path("s/h.jpg")); }, {"+s/h.jpg"}},
        {"a new folder with pictures", {}, {},
         [](Tree& t) {
             t.folder("n/m");
             write(t.path("n/1.jpg"));
             write(t.path("n/m/2.jpg"));
         },
         {"+n/1.jpg", "+n/m/2.jpg"}},
        {"a folder moved in", {}, {},
         [](Tree& t) {
             const QByteArray out = t.root() + ".out";  // beside the tree, on its file system
             mkdir(out.constData(), 0755);
             write(out + "/1.jpg");
             rename(out.constData(), t.path("x").constData());
         },
         {"+x/1.jpg"}},
        {"a folder removed", {}, {}, [](Tree& t) { removeAll(t.path("s")); }, {"-s/c.jpg", "-s/t/d.jpg"}},
        {"a folder renamed", {}, {}, [](Tree& t) { rename(t.path("s"), t.path("u")); },
         {"+u/c.jpg", "+u/t/d.jpg", "-s/c.jpg", "-s/t/d.jpg"}},
        {"changed between the search and the watch", {},
         [](Tree& t) {
             write(t.path("s/t/late.jpg"));
             unlink(t.path("b.jpg"));
         },
         {}, {"+s/t/late.jpg", "-b.jpg"}},
        {"a picture in a folder reached by a link too", [](Tree& t) { t.link("l", t.path("s")); }, {},
         [](Tree& t) { write(t.path("s/n.jpg")); }, {"+l/n.jpg", "+s/n.jpg"}},
    };
    for (const Case& c : cases) {
        struct Run {
            Tree tree;
            std::unique_ptr<Reports> reports;
            std::unique_ptr<FolderWatcher> watcher;
        };
        std::vector<std::unique_ptr<Run>> runs;
        // The modes side by side, each on a tree of its own.
        for (const Mode& mode : modes()) {
            auto run = std::make_unique<Run>();
            Tree& t = run->tree;
            t.files({"a.jpg", "b.jpg", "s/c.jpg", "s/t/d.jpg", "s/t/skip.txt"});
            for (int i = 0; i < 70; ++i)  // enough for the watches to be set up on several threads
                t.folder("other/" + QByteArray::number(i));
            if (c.before)
                c.before(t);
            run->reports = std::make_unique<Reports>(t.root());
            run->watcher = watch(t.root(), *run->reports, mode.options, c.between ? [&] { c.between(t); }
                                                                                   : std::function<void()>());
            const FolderWatcher::Counts counts = run->watcher->counts();
            if (mode.options.maxWatches == 1) {
                EXPECT_EQ(counts.watched, 1) << c.what;
            } else if (!mode.options.pollOnly) {
                EXPECT_EQ(counts.polled, 0) << c.what;
            }
            runs.push_back(std::move(run));
        }
        for (auto& run : runs)
            if (c.change)
                c.change(run->tree);
        Names expected = c.expected;
        std::sort(expected.begin(), expected.end());
        for (auto& run : runs)
            run->reports->waitFor(expected.size(), 4s);
        std::this_thread::sleep_for(300ms);  // for anything reported beyond
        for (std::size_t i = 0; i < runs.size(); ++i)
            EXPECT_EQ(runs[i]->reports->take(), expected) << c.what << ", " << modes()[i].name;
    }
}

// The system drops events once its queue for the watcher is full: whatever
// they told must still be reported, once.
TEST(FolderWatcher, ReportsEveryChangeTheSystemDroppedTheEventsOf)
{
    int queue = 16384;
    if (FILE* limit = std::fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
        if (std::fscanf(limit, "%d", &queue) != 1)
            queue = 16384;
        std::fclose(limit);
    }
    FolderTree tree;
    tree.files({"gone.jpg"});
    tree.folder("in");
    const QByteArray root = tree.root();
    Reports reports(root);
    // The watcher reads no events while its report is held here.
    std::mutex gate;
    std::unique_lock<std::mutex> held(gate);
    auto watcher = watch(root, reports, quick(), {}, [&gate] { std::lock_guard<std::mutex> wait(gate); });
    write(tree.path("in/first.jpg"));
    ASSERT_EQ(reports.wait(1, 5s, 0ms), Names{"+in/first.jpg"});
    Names expected{"-gone.jpg"};
    for (int i = 0; i <= queue; ++i) {
        const QByteArray name = "in/" + QByteArray::number(i) + ".jpg";
        write(tree.path(name));
        expected.push_back("+" + name);
    }
    unlink(tree.path("gone.jpg").constData());  // its event surely dropped
    held.unlock();
    std::sort(expected.begin(), expected.end());
    const Names got = reports.wait(expected.size(), 20s);
    Names missing;
    std::set_difference(expected.begin(), expected.end(), got.begin(), got.end(), std::back_inserter(missing));
    EXPECT_EQ(got.size(), expected.size());
    if (!missing.empty())
        ADD_FAILURE() << missing.size() << " changes never reported, among them " << missing.front().constData();
}

TEST(FolderWatcher, NeverReportsAFileStillBeingWritten)
{
    // With events, the close tells: the settling time never comes into it.
    FolderWatcher::Options events = quick();
    events.settle = 10s;
    FolderWatcher::Options polled = quick();
    polled.settle = 1s;  // longer than the writer's pauses
    polled.pollOnly = true;
    const struct {
        const char* what;
        FolderWatcher::Options options;
        std::chrono::milliseconds within;  // of the close
    } cases[] = {{"inotify", events, 1s}, {"every folder polled", polled, 3s}};
    for (const auto& c : cases) {
        FolderTree tree;
        tree.folder("in");
        Reports reports(tree.root());
        const auto watcher = watch(tree.root(), reports, c.options);
        // Written in ten parts over three seconds, as from a slow card.
        const int fd = open(tree.path("in/slow.jpg").constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(300ms);
            ASSERT_EQ(::write(fd, "part", 4), 4);
        }
        const auto closed = Clock::now();  // the close may be reported before it returns
        ASSERT_EQ(close(fd), 0);
        EXPECT_EQ(reports.wait(1, c.within, 0ms), Names{"+in/slow.jpg"}) << c.what;
        for (const auto at : reports.times()) {
            EXPECT_GE(at, closed) << c.what << ": reported "
                                  << std::chrono::duration_cast<std::chrono::milliseconds>(closed - at).count()
                                  << " ms before the writer closed it";
            EXPECT_LT(at, closed + c.within) << c.what;
        }
    }
}

TEST(FolderWatcher, TakesAQuickCopyAtOnceWhereNobodyWritesItAnyMore)
{
    // The first picture into a folder is often closed before the folder's
    // watch asks for closes: it is complete once nobody has it open to write.
    FolderWatcher::Options events = quick();
    events.settle = 10s;
    FolderTree tree;
    tree.folder("empty");
    tree.folder("busy");
    Reports reports(tree.root());
    const auto watcher = watch(tree.root(), reports, events);
    write(tree.path("empty/quick.jpg"));
    EXPECT_EQ(reports.wait(1, 1s, 0ms), Names{"+empty/quick.jpg"});
    // Still open for writing: not before its close.
    const int fd = open(tree.path("busy/open.jpg").constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "part", 4), 4);
    EXPECT_EQ(reports.wait(1, 500ms, 0ms), Names{});
    ASSERT_EQ(close(fd), 0);
    EXPECT_EQ(reports.wait(1, 1s, 0ms), Names{"+busy/open.jpg"});
}

TEST(FolderWatcher, FollowsTheRootAwayAndBack)
{
    struct Case {
        const char* what;
        bool pollOnly;
        std::function<void(FolderTree&, const QByteArray& root)> away, back;
        bool missingAtStart = false;
    } cases[] = {
        {"missing at the start, then made", false, {},
         [](FolderTree& t, const QByteArray& root) {
             t.folder("root/s");
             write(root + "/a.jpg");
             write(root + "/s/b.jpg");
         },
         true},
        {"removed and made again", false, [](FolderTree&, const QByteArray& root) { removeAll(root); },
         [](FolderTree& t, const QByteArray& root) {
             t.folder("root/s");
             write(root + "/a.jpg");
             write(root + "/s/b.jpg");
         }},
        {"removed and made again, polled", true, [](FolderTree&, const QByteArray& root) { removeAll(root); },
         [](FolderTree& t, const QByteArray& root) {
             t.folder("root/s");
             write(root + "/a.jpg");
             write(root + "/s/b.jpg");
         }},
        {"moved away and back", false,
         [](FolderTree& t, const QByteArray& root) { rename(root, t.path("away")); },
         [](FolderTree& t, const QByteArray& root) { rename(t.path("away"), root); }},
    };
    for (const Case& c : cases) {
        FolderTree tree;
        if (!c.missingAtStart)
            tree.files({"root/a.jpg", "root/s/b.jpg"});
        const QByteArray root = tree.path("root");
        Reports reports(root);
        FolderWatcher::Options options = quick();
        options.pollOnly = c.pollOnly;
        const auto watcher = watch(root, reports, options);
        if (!c.missingAtStart) {
            c.away(tree, root);
            EXPECT_EQ(reports.wait(2), (Names{"-a.jpg", "-s/b.jpg"})) << c.what;
        }
        c.back(tree, root);
        EXPECT_EQ(reports.wait(2), (Names{"+a.jpg", "+s/b.jpg"})) << c.what;
        // And it is watched again.
        unlink((root + "/a.jpg").constData());
        EXPECT_EQ(reports.wait(1), Names{"-a.jpg"}) << c.what;
    }
}

namespace {
// A drive stand-in mounted at `at`: a tmpfs holding p.jpg and d/q.jpg; false
// when it cannot be mounted.
bool mountDrive(const QByteArray& at)
{
    if (mount("marbleglen-test", at.constData(), "tmpfs", 0, "size=1m") != 0)
        return false;
    mkdir((at + "/d").constData(), 0755);
    write(at + "/p.jpg");
    write(at + "/d/q.jpg");
    return true;
}
}  // namespace

// A drive stand-in: a tmpfs unmounted (never lazily) and mounted again.
TEST(FolderWatcher, LetsADriveGoAndTakesItUpAgain)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting needs root";
    struct Case {
        const char* what;
        QByteArray drive;  // relative to the watched root; "" is the root itself
    } cases[] = {{"a sub-folder's drive", "usb"}, {"the root's drive", ""}};
    for (const Case& c : cases) {
        FolderTree tree;
        tree.files({"root/a.jpg"});
        const QByteArray root = tree.path("root");
        const QByteArray drive = c.drive.isEmpty() ? root : root + "/" + c.drive;
        mkdir(drive.constData(), 0755);
        if (!mountDrive(drive))
            GTEST_SKIP() << "tmpfs cannot be mounted here";
        const QByteArray in = c.drive.isEmpty() ? "" : c.drive + "/";
        Reports reports(root);
        auto watcher = watch(root, reports, quick());
        // The watcher holds nothing open on the drive: a plain unmount succeeds.
        ASSERT_EQ(umount2(drive.constData(), 0), 0) << c.what << ": " << strerror(errno);
        EXPECT_EQ(reports.wait(2), (Names{"-" + in + "d/q.jpg", "-" + in + "p.jpg"})) << c.what;
        ASSERT_TRUE(mountDrive(drive));
        EXPECT_EQ(reports.wait(2), (Names{"+" + in + "d/q.jpg", "+" + in + "p.jpg"})) << c.what;
        watcher.reset();
        EXPECT_EQ(umount2(drive.constData(), 0), 0) << c.what;
    }
}

// A drive mounted on a folder the watcher already follows brings no event
// there: an automounter makes the folder, then mounts on it.
TEST(FolderWatcher, TakesUpADriveMountedOnAFolderItFollows)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting needs root";
    struct Case {
        const char* what;
        QByteArray drive;  // relative to the watched root; "" is the root itself
        bool madeWhileWatching;
        Names reported;
    } cases[] = {
        {"an empty sub-folder", "usb", false, {"+usb/d/q.jpg", "+usb/p.jpg"}},
        {"a sub-folder made while watching", "usb", true, {"+usb/d/q.jpg", "+usb/p.jpg"}},
        {"the root", "", false, {"+d/q.jpg", "+p.jpg", "-a.jpg"}},
    };
    for (const Case& c : cases) {
        FolderTree tree;
        tree.files({"root/a.jpg"});
        const QByteArray root = tree.path("root");
        const QByteArray drive = c.drive.isEmpty() ? root : root + "/" + c.drive;
        if (!c.madeWhileWatching)
            mkdir(drive.constData(), 0755);
        Reports reports(root);
        auto watcher = watch(root, reports, quick());
        if (c.madeWhileWatching) {
            mkdir(drive.constData(), 0755);
            std::this_thread::sleep_for(300ms);  // listed, and watched, empty
        }
        if (!mountDrive(drive))
            GTEST_SKIP() << "tmpfs cannot be mounted here";
        EXPECT_EQ(reports.wait(c.reported.size()), c.reported) << c.what;
        watcher.reset();
        EXPECT_EQ(umount2(drive.constData(), 0), 0) << c.what;
    }
}

TEST(FolderWatcher, HoldsNoFolderOpenAndStopsAtOnce)
{
    auto descriptorsInto = [](const QByteArray& root) {
        std::vector<QByteArray> into;
        DIR* fds = opendir("/proc/self/fd");
        while (const dirent* e = readdir(fds)) {
            char target[4096];
            const ssize_t n = readlinkat(dirfd(fds), e->d_name, target, sizeof target);
            if (n > 0 && QByteArray(target, n).startsWith(root))
                into.emplace_back(target, n);
        }
        closedir(fds);
        return into;
    };
    const auto countFds = [] { return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(); };
    for (bool pollOnly : {false, true}) {
        FolderTree tree;
        tree.files({"a.jpg", "s/b.jpg", "s/t/c.jpg"});
        const auto before = countFds();
        Reports reports(tree.root());
        FolderWatcher::Options options = quick();
        options.pollOnly = pollOnly;
        options.pollEvery = options.lookAgain = options.settle = 60s;
        auto watcher = watch(tree.root(), reports, options);
        write(tree.path("s/new.jpg"));  // a file to settle, a timer to wait for
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(descriptorsInto(tree.root()), std::vector<QByteArray>{}) << pollOnly;
        // Stopped on a thread of its own, so that a watcher that never stops
        // fails here rather than hangs.
        std::promise<void> stopped;
        std::future<void> done = stopped.get_future();
        std::thread([w = watcher.release(), stopped = std::move(stopped)]() mutable {
            delete w;
            stopped.set_value();
        }).detach();
        ASSERT_EQ(done.wait_for(500ms), std::future_status::ready) << "not stopped within 0.5 s, " << pollOnly;
        EXPECT_EQ(countFds(), before) << pollOnly;
    }
}
