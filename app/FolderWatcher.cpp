#include "app/FolderWatcher.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <QHash>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// A folder's entries coming and going. Closing after writing is asked for
// only once a picture is made in a folder: for that event the system marks
// every entry of the folder, which costs more than the rest of the watch.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF |
                                     IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t kClosedMask = IN_CLOSE_WRITE | IN_MASK_ADD | IN_ONLYDIR;

// A change within the same tick of a file system's clock as the listing before
// it leaves the folder's time as it was, so a folder listed that close to its
// own time is listed again later. FAT counts time in 2 s steps.
constexpr std::int64_t kSameTickNs = 2'000'000'000;

std::int64_t nsOf(const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; }

std::int64_t wallNowNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return nsOf(now);
}

// File systems that give no inotify events for changes made elsewhere: another
// client of a share, the host of a shared folder, another node of a cluster.
bool givesNoEvents(std::uint32_t type)
{
    switch (type) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs, rclone, fuseblk ...)
    case 0x01021997:  // 9p
    case 0x5346414F:  // AFS
    case 0x6B414653:  // kAFS
    case 0x00C36400:  // Ceph
    case 0x73757245:  // Coda
    case 0x01161970:  // GFS2
    case 0x7461636F:  // OCFS2
    case 0x0BD00BD0:  // Lustre
    case 0x786F4256:  // VirtualBox shared folders
    case 0x564C:      // NCP
        return true;
    default:
        return false;
    }
}

struct Identity {
    std::uint64_t dev = 0, ino = 0;
    bool operator==(const Identity&) const = default;
};

struct IdentityHash {
    std::size_t operator()(const Identity& id) const noexcept
    {
        return std::hash<std::uint64_t>{}(id.ino) * 31 + std::hash<std::uint64_t>{}(id.dev);
    }
};

Identity identityOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

// Whether a process holds the file open for writing: the system grants a read
// lease only on a file nobody has open for writing. None when leases cannot
// tell (a file of another owner, a file system without them).
std::optional<bool> openForWriting(const QByteArray& path)
{
    const UniqueFd fd(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    if (fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
        fcntl(fd.get(), F_SETLEASE, F_UNLCK);
        return false;
    }
    if (errno == EAGAIN)
        return true;
    return std::nullopt;
}

bool statFolder(const QByteArray& path, struct stat& st)
{
    return stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string_view view(const QByteArray& b) { return {b.constData(), static_cast<std::size_t>(b.size())}; }

// One folder's picture names, packed: a folder of 10,000 pictures costs about
// what their names take, not an allocation each.
class NameSet {
public:
    bool contains(std::string_view name) const
    {
        const auto it = find(name);
        return it != at_.end() && this->name(*it) == name;
    }
    bool insert(std::string_view name)
    {
        const auto it = find(name);
        if (it != at_.end() && this->name(*it) == name)
            return false;
        const auto offset = static_cast<std::uint32_t>(block_.size());
        block_.append(name);
        block_.push_back('\0');
        at_.insert(it, offset);
        return true;
    }
    bool erase(std::string_view name)
    {
        const auto it = find(name);
        if (it == at_.end() || this->name(*it) != name)
            return false;
        dead_ += name.size() + 1;
        at_.erase(it);
        if (dead_ > block_.size() / 2)
            pack();
        return true;
    }
    // Many names at once, in any order: sort() once after.
    void append(std::string_view name)
    {
        at_.push_back(static_cast<std::uint32_t>(block_.size()));
        block_.append(name);
        block_.push_back('\0');
    }
    void sort()
    {
        std::sort(at_.begin(), at_.end(), [this](std::uint32_t a, std::uint32_t b) { return name(a) < name(b); });
        at_.erase(std::unique(at_.begin(), at_.end(), [this](std::uint32_t a, std::uint32_t b) { return name(a) == name(b); }),
                  at_.end());
        at_.shrink_to_fit();
        block_.shrink_to_fit();
    }
    void clear()
    {
        block_ = {};
        at_ = {};
        dead_ = 0;
    }
    template <class F>
    void forEach(F f) const
    {
        for (const std::uint32_t offset : at_)
            f(name(offset));
    }

private:
    std::string_view name(std::uint32_t offset) const { return std::string_view(block_.data() + offset); }
    std::vector<std::uint32_t>::const_iterator find(std::string_view name) const
    {
        return std::lower_bound(at_.begin(), at_.end(), name,
                                [this](std::uint32_t a, std::string_view n) { return this->name(a) < n; });
    }
    void pack()
    {
        std::string block;
        block.reserve(block_.size() - dead_);
        for (std::uint32_t& offset : at_) {
            const std::string_view n = name(offset);
            offset = static_cast<std::uint32_t>(block.size());
            block.append(n);
            block.push_back('\0');
        }
        block_ = std::move(block);
        dead_ = 0;
    }

    std::string block_;              // the names, each ended by a NUL
    std::vector<std::uint32_t> at_;  // where each starts, in byte order of the names
    std::size_t dead_ = 0;           // bytes of erased names still in block_
};

// A file that exists but may still be written: complete once its size and
// time stayed the same from one look to the next.
struct Pending {
    QByteArray name;
    std::int64_t size = 0, mtimeNs = 0;
    Clock::time_point due;
};

// How complete the files of a folder just listed are taken to be.
enum class Fresh {
    Complete,  // moved into place: complete
    Check,     // anything: complete when old enough, else pending
};

struct Stopped {};

// How long after a change of the mount table the folders are looked at.
constexpr std::chrono::milliseconds kMountsSettle{250};

// Threads that set the watches up. The work is the system's own (paths
// looked up, watches added), so threads beyond the cores gain little.
constexpr std::size_t kSetUpThreads = 4;

// One folder of the tree as the search reaches it (a folder reached through
// two links is two of these, sharing one watch).
struct WatchedFolder {
    QByteArray path;  // ends in "/"
    WatchedFolder* parent = nullptr;
    std::vector<std::unique_ptr<WatchedFolder>> subs;
    NameSet pictures;              // complete, reported or found by the search
    std::vector<Pending> pending;  // not complete yet
    Identity id;
    bool known = false;          // id is set
    std::int64_t mtimeNs = -1;   // at its last listing; -1: not listed by us or the search
    std::int64_t listedAtNs = 0;
    int wd = -1;
    bool polled = false;
    bool counted = false;  // in the visits
    bool stale = false;    // to be listed again during set-up
    bool dead = false;     // gone: dropped from its parent when the work at hand is done
    bool lost = false;     // its drive went: waiting for another folder at its path
    bool underThere = false;
    Identity under;  // what its path led to when it was lost
    // During set-up: where its pictures are in the search's list, for them
    // to be taken in while the watches are set.
    std::uint32_t foundFrom = 0, foundTo = 0;

    std::string_view name() const
    {
        const qsizetype start = parent->path.size();
        return std::string_view(path.constData() + start, static_cast<std::size_t>(path.size() - start - 1));
    }
};
}  // namespace

// The worker's state: every folder followed, and what to report.
class FolderWatcher::Tree {
public:
    explicit Tree(FolderWatcher& w) : w_(w), top_(std::make_unique<WatchedFolder>()) { top_->path = w.root_; }

    // From a search of the root: `fresh` reports what it found as Added.
    void setUp(const std::vector<QByteArray>& found, const std::vector<WalkedFolder>& folders, bool fresh);
    void onEvents();
    void onTimers();
    void onMountsChanged();
    // Folders marked dead are dropped, and the changes gathered handed out.
    std::vector<FolderChange> finish();
    // -1: nothing to wait for but events.
    int msToNext() const;

private:
    using Folder = WatchedFolder;

    void event(const inotify_event& e);
    void entry(Folder& f, std::string_view name, std::uint32_t mask);
    bool wantsWatch(const Folder& f, std::uint64_t dev);
    bool follow(Folder& f, std::uint64_t dev, bool watch = true);
    bool registerWatch(Folder& f, int wd, int error);
    bool eventless(const Folder& f, std::uint64_t dev);
    void unregister(Folder& f);
    void kill(Folder& f);
    void clearContents(Folder& f);
    void lose(Folder& f);
    void reattach(Folder& f);
    bool attach(Folder& f, Fresh fresh);
    Folder* addSub(Folder& parent, std::string_view name, Fresh fresh);
    Folder* liveSub(Folder& f, std::string_view name);
    void relist(Folder& f, Fresh fresh);
    void relistStale(Folder& f);
    void check(Folder& f);
    void checkAll(Folder& f, bool polledOnly);
    void searchRoot();
    void newFile(Folder& f, const QByteArray& name, Fresh fresh);
    void pend(Folder& f, const QByteArray& name, const struct stat& st);
    void settle(Folder& f, Clock::time_point now);
    void add(Folder& f, std::string_view name);
    void remove(Folder& f, std::string_view name);
    void dropPending(Folder& f, std::string_view name);
    void prune(Folder& f);
    void becomeLost(Folder& f, const struct stat* there);
    bool stopping() const { return w_.stop_.load(std::memory_order_relaxed); }
    QByteArray pathOf(const Folder& f, std::string_view name) const
    {
        return f.path + QByteArray(name.data(), static_cast<qsizetype>(name.size()));
    }

    FolderWatcher& w_;
    std::unique_ptr<Folder> top_;
    std::unordered_map<int, std::vector<Folder*>> byWd_;
    std::unordered_set<int> closeWatched_;  // watches told of files closed after writing
    std::unordered_map<Identity, int, IdentityHash> visits_;
    std::unordered_map<std::uint64_t, bool> eventlessDev_;
    std::unordered_set<Folder*> unsettled_;  // folders with pending files
    std::vector<Folder*> lost_;
    std::vector<FolderChange> batch_;
    int attempts_ = 0;  // watches asked for, against Options::maxWatches
    bool needPrune_ = false;
    bool sweep_ = false;  // a listing failed for want of resources: every folder looked at again
    Clock::time_point nextPoll_, nextLook_;
    std::optional<Clock::time_point> mountsDue_;  // every folder looked at then
};

void FolderWatcher::Tree::setUp(const std::vector<QByteArray>& found, const std::vector<WalkedFolder>& folders,
                                bool fresh)
{
    Folder& top = *top_;
    const QByteArray& root = top.path;
    top.lost = top.stale = false;
    top.known = false;
    top.mtimeNs = -1;
    // The nodes are made in the walk's order: a folder comes right after its
    // parent's earlier sub-folders, so its parent is on the way down to the
    // last one made. Only what does not fit that order is looked up by path.
    QHash<QByteArray, Folder*> byPath;
    std::vector<Folder*> made;  // for `folders`, in their order
    made.reserve(folders.size());
    auto child = [&](Folder& parent, const QByteArray& path) {
        auto node = std::make_unique<Folder>();
        node->path = path;
        node->parent = &parent;
        Folder* f = node.get();
        parent.subs.push_back(std::move(node));
        if (!byPath.isEmpty())
            byPath.insert(path, f);
        return f;
    };
    std::function<Folder*(const QByteArray&)> nodeFor = [&](const QByteArray& path) -> Folder* {
        if (byPath.isEmpty()) {
            byPath.insert(root, &top);
            for (Folder* f : made)
                byPath.insert(f->path, f);
        }
        if (Folder* f = byPath.value(path))
            return f;
        if (path.size() <= root.size() || !path.startsWith(root) || !path.endsWith('/'))
            return nullptr;
        Folder* parent = nodeFor(path.left(path.lastIndexOf('/', path.size() - 2) + 1));
        return parent ? child(*parent, path) : nullptr;
    };
    std::vector<Folder*> descent{&top};
    for (const WalkedFolder& walked : folders) {
        Folder* f = nullptr;
        if (walked.path == root) {
            f = &top;
        } else {
            while (descent.size() > 1 && !walked.path.startsWith(descent.back()->path))
                descent.pop_back();
            Folder& parent = *descent.back();
            const bool below = walked.path.startsWith(parent.path) &&
                               walked.path.indexOf('/', parent.path.size()) == walked.path.size() - 1;
            f = below ? child(parent, walked.path) : nodeFor(walked.path);
            if (!f)
                continue;
            descent.push_back(f);
        }
        f->id = {walked.dev, walked.ino};
        f->known = true;
        f->mtimeNs = walked.mtimeNs;
        f->listedAtNs = walked.listedAtNs;
        made.push_back(f);
    }
    std::vector<std::pair<Folder*, QByteArray>> toReport;
    Folder* last = nullptr;
    std::size_t next = 0;  // in `made`: the search lists pictures in the same order
    for (std::size_t index = 0; index < found.size(); ++index) {
        const QByteArray& path = found[index];
        const qsizetype slash = path.lastIndexOf('/');
        const std::string_view folder = view(path).substr(0, static_cast<std::size_t>(slash + 1));
        if (!last || view(last->path) != folder) {
            while (next < made.size() && view(made[next]->path) != folder)
                ++next;
            last = next < made.size() ? made[next] : nodeFor(path.left(slash + 1));
        }
        if (!last)
            continue;
        const auto at = static_cast<std::uint32_t>(index);
        if (fresh)
            toReport.emplace_back(last, path.sliced(slash + 1));
        else if (last->foundFrom == last->foundTo) {
            last->foundFrom = at;
            last->foundTo = at + 1;
        } else if (last->foundTo == at) {
            ++last->foundTo;
        } else {
            last->pictures.append(view(path).substr(static_cast<std::size_t>(slash + 1)));
        }
    }
    auto takeNames = [&found](Folder& f) {
        for (std::uint32_t i = f.foundFrom; i < f.foundTo; ++i) {
            const std::string_view path = view(found[i]);
            f.pictures.append(path.substr(path.rfind('/') + 1));
        }
        f.foundFrom = f.foundTo = 0;
        f.pictures.sort();
    };

    // Every folder watched, then compared with what the search saw of it.
    struct Step {
        Folder* folder;
        bool watch;
        int wd = -1, error = 0;
    };
    std::vector<Step> steps;
    std::function<void(Folder&)> plan = [&](Folder& f) {
        if (f.dead)
            return;
        struct stat st {};
        if (!f.known) {
            if (!statFolder(f.path, st)) {
                takeNames(f);
                f.stale = true;
                return;
            }
            f.id = identityOf(st);
            f.known = true;
        }
        ++visits_[f.id];
        f.counted = true;
        steps.push_back({&f, wantsWatch(f, f.id.dev)});
        for (std::size_t i = 0; i < f.subs.size(); ++i)
            plan(*f.subs[i]);
    };
    plan(top);
    // Mostly the system's own work, so shared among threads as the search is;
    // each folder's pictures are taken in on the way.
    auto work = [&](std::size_t first, std::size_t step) {
        for (std::size_t i = first; i < steps.size(); i += step) {
            Step& s = steps[i];
            Folder& f = *s.folder;
            takeNames(f);
            if (stopping())
                continue;
            if (s.watch) {
                s.wd = inotify_add_watch(w_.inotify_.get(), f.path.constData(), kWatchMask);
                s.error = s.wd < 0 ? errno : 0;
            }
            struct stat st {};
            if (!statFolder(f.path, st) || identityOf(st) != f.id || nsOf(st.st_mtim) != f.mtimeNs ||
                f.mtimeNs >= f.listedAtNs - kSameTickNs)
                f.stale = true;
        }
    };
    const std::size_t threads =
        steps.size() < 64 ? 1 : std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kSetUpThreads);
    std::vector<std::thread> helpers;
    for (std::size_t t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(work, t, threads);
        } catch (const std::system_error&) {
            break;
        }
    }
    // The shares no helper took are done here.
    for (std::size_t t = helpers.size() + 1; t < threads; ++t)
        work(t, threads);
    work(0, threads);
    for (std::thread& helper : helpers)
        helper.join();
    for (const Step& s : steps)
        if (!s.watch)
            follow(*s.folder, 0, false);
        else if (!registerWatch(*s.folder, s.wd, s.error))
            s.folder->stale = true;
    relistStale(top);
    for (const auto& [f, name] : toReport)
        if (!f->dead && !f->lost && !f->pictures.contains(view(name)))
            newFile(*f, name, Fresh::Check);
    nextPoll_ = Clock::now() + w_.options_.pollEvery;
}

void FolderWatcher::Tree::relistStale(Folder& f)
{
    if (f.dead || stopping())
        return;
    if (f.stale)
        relist(f, Fresh::Check);
    for (std::size_t i = 0; i < f.subs.size(); ++i)
        relistStale(*f.subs[i]);
}

// Whether `f`, on device `dev`, is to be watched rather than polled.
bool FolderWatcher::Tree::wantsWatch(const Folder& f, std::uint64_t dev)
{
    if (w_.inotify_.get() < 0 || w_.options_.pollOnly || eventless(f, dev))
        return false;
    if (w_.options_.maxWatches >= 0 && attempts_ >= w_.options_.maxWatches)
        return false;
    ++attempts_;
    return true;
}

// Watches `f` on device `dev` (or, `watch` false, polls it); false when it is
// not there to watch.
bool FolderWatcher::Tree::follow(Folder& f, std::uint64_t dev, bool watch)
{
    if (watch && wantsWatch(f, dev)) {
        const int wd = inotify_add_watch(w_.inotify_.get(), f.path.constData(), kWatchMask);
        return registerWatch(f, wd, wd < 0 ? errno : 0);
    }
    f.polled = true;
    ++w_.polled_;
    return true;
}

// What became of a watch asked for: watched, or polled when the system has no
// watch to give (ENOSPC: the watch limit); false when `f` is gone.
bool FolderWatcher::Tree::registerWatch(Folder& f, int wd, int error)
{
    if (wd >= 0) {
        f.wd = wd;
        byWd_[wd].push_back(&f);
        ++w_.watched_;
        return true;
    }
    if (error == ENOENT || error == ENOTDIR)
        return false;
    return follow(f, 0, false);
}

bool FolderWatcher::Tree::eventless(const Folder& f, std::uint64_t dev)
{
    const auto it = eventlessDev_.find(dev);
    if (it != eventlessDev_.end())
        return it->second;
    struct statfs fs {};
    const bool none = statfs(f.path.constData(), &fs) == 0 && givesNoEvents(static_cast<std::uint32_t>(fs.f_type));
    eventlessDev_.emplace(dev, none);
    return none;
}

void FolderWatcher::Tree::unregister(Folder& f)
{
    if (f.wd >= 0) {
        const auto it = byWd_.find(f.wd);
        if (it != byWd_.end()) {
            std::erase(it->second, &f);
            if (it->second.empty()) {
                inotify_rm_watch(w_.inotify_.get(), f.wd);
                byWd_.erase(it);
                closeWatched_.erase(f.wd);
            }
        }
        f.wd = -1;
        --w_.watched_;
    }
    if (f.polled) {
        f.polled = false;
        --w_.polled_;
    }
    if (f.counted) {
        f.counted = false;
        if (--visits_[f.id] <= 0)
            visits_.erase(f.id);
    }
    f.pending.clear();
    unsettled_.erase(&f);
}

void FolderWatcher::Tree::clearContents(Folder& f)
{
    f.pictures.forEach([&](std::string_view name) { batch_.push_back({FolderChange::Removed, pathOf(f, name)}); });
    f.pictures.clear();
    f.pending.clear();
    unsettled_.erase(&f);
    for (std::size_t i = 0; i < f.subs.size(); ++i)
        kill(*f.subs[i]);
}

// `f` and everything below it went.
void FolderWatcher::Tree::kill(Folder& f)
{
    if (f.dead)
        return;
    f.dead = true;
    needPrune_ = true;
    unregister(f);
    clearContents(f);
}

WatchedFolder* FolderWatcher::Tree::liveSub(Folder& f, std::string_view name)
{
    for (const auto& sub : f.subs)
        if (!sub->dead && sub->name() == name)
            return sub.get();
    return nullptr;
}

// `f` is no longer what it was (removed, replaced, its drive gone): what it
// held is reported Removed, and what its path leads to now is taken up.
void FolderWatcher::Tree::lose(Folder& f)
{
    if (f.dead)
        return;
    clearContents(f);
    unregister(f);
    eventlessDev_.clear();  // a device number may now stand for another file system
    struct stat st {};
    if (!statFolder(f.path, st)) {
        if (&f == top_.get())
            becomeLost(f, nullptr);
        else
            kill(f);
        return;
    }
    // An emptied mount point shows the folder below it, on its parent's
    // device: wait for the drive to come back rather than take that up.
    struct stat up {};
    if (f.known && identityOf(st) != f.id && st.st_dev != f.id.dev &&
        stat((f.path + "..").constData(), &up) == 0 && up.st_dev == st.st_dev) {
        becomeLost(f, &st);
        return;
    }
    reattach(f);
}

void FolderWatcher::Tree::becomeLost(Folder& f, const struct stat* there)
{
    f.lost = true;
    f.underThere = there != nullptr;
    f.under = there ? identityOf(*there) : Identity{};
    if (lost_.empty())
        nextLook_ = Clock::now() + w_.options_.lookAgain;
    if (std::find(lost_.begin(), lost_.end(), &f) == lost_.end())
        lost_.push_back(&f);
}

void FolderWatcher::Tree::reattach(Folder& f)
{
    f.lost = false;
    if (&f == top_.get()) {
        searchRoot();
    } else if (!attach(f, Fresh::Check)) {
        kill(f);
    }
}

// The root is back: searched as at the start, and what it holds reported.
void FolderWatcher::Tree::searchRoot()
{
    QByteArray path = top_->path;
    std::int64_t files = 0, dirs = 0, notSearched = 0;
    std::vector<QByteArray> found;
    std::vector<WalkedFolder> folders;
    try {
        FindFilesWatched(path, w_.pattern_, files, dirs, notSearched, found,
                         [this](const std::vector<QByteArray>&) {
                             if (stopping())
                                 throw Stopped{};
                         },
                         &folders);
    } catch (...) {
        // Stopping, or out of resources: looked for again later.
        becomeLost(*top_, nullptr);
        return;
    }
    if (folders.empty()) {
        becomeLost(*top_, nullptr);
        return;
    }
    setUp(found, folders, true);
}

// Takes up the folder at f.path: watched, listed, its pictures reported; false
// when it is not a folder to search (gone, or a link back up the tree, or
// reached too often).
bool FolderWatcher::Tree::attach(Folder& f, Fresh fresh)
{
    struct stat st {};
    if (!statFolder(f.path, st))
        return false;
    const Identity id = identityOf(st);
    for (const Folder* up = f.parent; up; up = up->parent)
        if (up->id == id)
            return false;
    const auto visits = visits_.find(id);
    if (visits != visits_.end() && visits->second >= kMaxSearchesPerFolder)
        return false;
    f.id = id;
    f.known = true;
    ++visits_[id];
    f.counted = true;
    // Watched before it is listed: whatever changes after the listing is an event.
    if (!follow(f, id.dev))
        return false;
    relist(f, fresh);
    return true;
}

FolderWatcher::Tree::Folder* FolderWatcher::Tree::addSub(Folder& parent, std::string_view name, Fresh fresh)
{
    auto child = std::make_unique<Folder>();
    child->path = pathOf(parent, name) + '/';
    child->parent = &parent;
    Folder* f = child.get();
    parent.subs.push_back(std::move(child));
    if (!attach(*f, fresh)) {
        kill(*f);
        return nullptr;
    }
    return f;
}

// Lists `f` again and reports the difference from what was known of it.
void FolderWatcher::Tree::relist(Folder& f, Fresh fresh)
{
    WalkedFolder self;
    std::vector<QByteArray> files, folders;
    bool listed = false;
    try {
        listed = ListFolder(f.path, w_.pattern_, self, files, folders);
    } catch (...) {
        // Out of descriptors or memory: every folder is looked at again later.
        sweep_ = true;
        f.mtimeNs = -1;
        return;
    }
    if (!listed) {
        struct stat st {};
        if (statFolder(f.path, st) && identityOf(st) == f.id) {
            // There but not readable: it holds nothing, as for the search.
            clearContents(f);
            f.mtimeNs = nsOf(st.st_mtim);
            f.listedAtNs = wallNowNs();
            return;
        }
        lose(f);
        return;
    }
    if (Identity{self.dev, self.ino} != f.id) {
        lose(f);
        return;
    }
    f.stale = false;
    f.mtimeNs = self.mtimeNs;
    f.listedAtNs = self.listedAtNs;

    std::vector<std::string_view> names;  // byte order, for looking up
    auto sorted = [&names](const std::vector<QByteArray>& from) {
        names.clear();
        for (const QByteArray& n : from)
            names.push_back(view(n));
        std::sort(names.begin(), names.end());
    };
    auto listedNow = [&names](std::string_view name) { return std::binary_search(names.begin(), names.end(), name); };

    sorted(files);
    std::vector<QByteArray> gone;
    f.pictures.forEach([&](std::string_view name) {
        if (!listedNow(name))
            gone.emplace_back(name.data(), static_cast<qsizetype>(name.size()));
    });
    for (const QByteArray& name : gone)
        remove(f, view(name));
    std::erase_if(f.pending, [&](const Pending& p) { return !listedNow(view(p.name)); });
    for (const QByteArray& name : files)
        if (!f.pictures.contains(view(name)) &&
            std::none_of(f.pending.begin(), f.pending.end(), [&](const Pending& p) { return p.name == name; }))
            newFile(f, name, fresh);

    sorted(folders);
    for (std::size_t i = 0; i < f.subs.size(); ++i)
        if (!f.subs[i]->dead && !listedNow(f.subs[i]->name()))
            kill(*f.subs[i]);
    for (const QByteArray& name : folders)
        if (!liveSub(f, view(name)))
            addSub(f, view(name), fresh);
}

void FolderWatcher::Tree::newFile(Folder& f, const QByteArray& name, Fresh fresh)
{
    if (fresh == Fresh::Complete) {
        add(f, view(name));
        return;
    }
    struct stat st {};
    if (stat(pathOf(f, view(name)).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    // Where the file system keeps our clock, a file untouched for the settling
    // time is complete; on a share, the server's clock may differ, so the file
    // is looked at twice.
    const auto settleNs = std::chrono::duration_cast<std::chrono::nanoseconds>(w_.options_.settle).count();
    if (!f.polled && nsOf(st.st_mtim) <= wallNowNs() - settleNs)
        add(f, view(name));
    else
        pend(f, name, st);
}

void FolderWatcher::Tree::pend(Folder& f, const QByteArray& name, const struct stat& st)
{
    // From now on the folder's watch tells of files closed after writing.
    if (f.wd >= 0 && !closeWatched_.contains(f.wd)) {
        const int wd = inotify_add_watch(w_.inotify_.get(), f.path.constData(), kClosedMask);
        if (wd == f.wd)
            closeWatched_.insert(wd);
        else if (wd >= 0 && !byWd_.contains(wd))
            inotify_rm_watch(w_.inotify_.get(), wd);  // the path leads elsewhere now
    }
    // A file closed before that (a quick copy, the first one into a folder)
    // brings no close event: it is complete when nobody writes it any more.
    // Asked after the watch, so that a close in between is told either way.
    if (!f.polled && closeWatched_.contains(f.wd) && openForWriting(pathOf(f, view(name))) == false) {
        add(f, view(name));
        return;
    }
    dropPending(f, view(name));
    f.pending.push_back({name, st.st_size, nsOf(st.st_mtim), Clock::now() + w_.options_.settle});
    unsettled_.insert(&f);
}

void FolderWatcher::Tree::settle(Folder& f, Clock::time_point now)
{
    for (std::size_t i = 0; i < f.pending.size();) {
        Pending& p = f.pending[i];
        if (p.due > now) {
            ++i;
            continue;
        }
        struct stat st {};
        const bool there = stat(pathOf(f, view(p.name)).constData(), &st) == 0 && S_ISREG(st.st_mode);
        if (there && (st.st_size != p.size || nsOf(st.st_mtim) != p.mtimeNs)) {
            p.size = st.st_size;
            p.mtimeNs = nsOf(st.st_mtim);
            p.due = now + w_.options_.settle;
            ++i;
            continue;
        }
        const QByteArray name = std::move(p.name);
        f.pending.erase(f.pending.begin() + static_cast<std::ptrdiff_t>(i));
        if (there)
            add(f, view(name));
    }
    if (f.pending.empty())
        unsettled_.erase(&f);
}

void FolderWatcher::Tree::add(Folder& f, std::string_view name)
{
    dropPending(f, name);
    if (f.pictures.insert(name))
        batch_.push_back({FolderChange::Added, pathOf(f, name)});
}

void FolderWatcher::Tree::remove(Folder& f, std::string_view name)
{
    dropPending(f, name);
    if (f.pictures.erase(name))
        batch_.push_back({FolderChange::Removed, pathOf(f, name)});
}

void FolderWatcher::Tree::dropPending(Folder& f, std::string_view name)
{
    std::erase_if(f.pending, [&](const Pending& p) { return view(p.name) == name; });
}

void FolderWatcher::Tree::onEvents()
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = read(w_.inotify_.get(), buffer, sizeof buffer);
        if (got <= 0)
            return;
        for (ssize_t at = 0; at < got;) {
            inotify_event e;
            std::memcpy(&e, buffer + at, sizeof e);
            if (e.len > 0) {
                std::string_view name(buffer + at + sizeof e, e.len);
                name = name.substr(0, name.find('\0'));
                const auto it = byWd_.find(e.wd);
                if (it != byWd_.end())
                    for (Folder* f : std::vector<Folder*>(it->second))
                        if (!f->dead && f->wd == e.wd)
                            entry(*f, name, e.mask);
            } else {
                event(e);
            }
            at += static_cast<ssize_t>(sizeof e + e.len);
        }
    }
}

// An event about a watched folder itself.
void FolderWatcher::Tree::event(const inotify_event& e)
{
    if (e.mask & IN_Q_OVERFLOW) {
        // Events were lost: every folder is compared with its last listing.
        checkAll(*top_, false);
        return;
    }
    const auto it = byWd_.find(e.wd);
    if (it == byWd_.end())
        return;
    const std::vector<Folder*> folders = it->second;
    if (e.mask & (IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED)) {
        // The system drops this watch itself.
        byWd_.erase(it);
        closeWatched_.erase(e.wd);
        for (Folder* f : folders) {
            f->wd = -1;
            --w_.watched_;
        }
        for (Folder* f : folders)
            lose(*f);
    } else if (e.mask & IN_MOVE_SELF) {
        // Gone from where the search reaches it, unless a link still leads there.
        for (Folder* f : folders) {
            struct stat st {};
            if (!f->dead && (!statFolder(f->path, st) || identityOf(st) != f->id))
                lose(*f);
        }
    }
}

// An event about the entry `name` of the watched folder `f`.
void FolderWatcher::Tree::entry(Folder& f, std::string_view name, std::uint32_t mask)
{
    if (mask & (IN_DELETE | IN_MOVED_FROM)) {
        if (Folder* sub = liveSub(f, name))
            kill(*sub);
        else
            remove(f, name);
        return;
    }
    struct stat st {};
    if (stat(pathOf(f, name).constData(), &st) != 0)
        return;  // gone again: its own event follows
    if (S_ISDIR(st.st_mode)) {
        if (mask & IN_CLOSE_WRITE)
            return;
        if (Folder* sub = liveSub(f, name)) {
            if (!sub->lost && sub->id == identityOf(st))
                return;  // taken up already
            kill(*sub);
        }
        addSub(f, name, (mask & IN_MOVED_TO) ? Fresh::Complete : Fresh::Check);
        return;
    }
    if (!S_ISREG(st.st_mode) || !MatchesSearch(name, w_.pattern_))
        return;
    if (mask & IN_CREATE) {
        // Complete when closed; a file that is never closed here (a hard link,
        // a copy still open, or one closed before the folder's watch could
        // tell) once it stops changing.
        if (!f.pictures.contains(name))
            pend(f, QByteArray(name.data(), static_cast<qsizetype>(name.size())), st);
    } else {
        add(f, name);
    }
}

void FolderWatcher::Tree::check(Folder& f)
{
    struct stat st {};
    if (!statFolder(f.path, st) || identityOf(st) != f.id) {
        lose(f);
        return;
    }
    if (nsOf(st.st_mtim) != f.mtimeNs || f.mtimeNs >= f.listedAtNs - kSameTickNs)
        relist(f, Fresh::Check);
}

void FolderWatcher::Tree::checkAll(Folder& f, bool polledOnly)
{
    if (f.dead || f.lost || stopping())
        return;
    if (!polledOnly || f.polled)
        check(f);
    for (std::size_t i = 0; i < f.subs.size(); ++i)
        checkAll(*f.subs[i], polledOnly);
}

void FolderWatcher::Tree::onTimers()
{
    const auto now = Clock::now();
    if (mountsDue_ && now >= *mountsDue_) {
        mountsDue_.reset();
        checkAll(*top_, false);
        nextLook_ = now;
    }
    if (now >= nextLook_ && !lost_.empty()) {
        nextLook_ = now + w_.options_.lookAgain;
        const std::vector<Folder*> lost = std::exchange(lost_, {});
        for (Folder* f : lost) {
            if (f->dead || !f->lost)
                continue;
            struct stat st {};
            const bool there = statFolder(f->path, st);
            if (there && (!f->underThere || identityOf(st) != f->under))
                reattach(*f);
            else if (!there && f != top_.get())
                kill(*f);
            else
                becomeLost(*f, there ? &st : nullptr);
        }
    }
    if (now >= nextPoll_) {
        nextPoll_ = now + w_.options_.pollEvery;
        if (w_.polled_ > 0 || sweep_)
            checkAll(*top_, !std::exchange(sweep_, false));
    }
    for (Folder* f : std::vector<Folder*>(unsettled_.begin(), unsettled_.end()))
        if (!f->dead)
            settle(*f, now);
}

// A drive mounted on a watched folder brings no event there: the watch stays
// on the folder below it. Every folder is looked at again, and a lost one
// looked for at once, a moment after a change: mounts come in bursts (a
// container started, a disk of several partitions), which are looked at once.
void FolderWatcher::Tree::onMountsChanged()
{
    if (!mountsDue_)
        mountsDue_ = Clock::now() + kMountsSettle;
}

int FolderWatcher::Tree::msToNext() const
{
    std::optional<Clock::time_point> next;
    auto consider = [&next](Clock::time_point t) {
        if (!next || t < *next)
            next = t;
    };
    if (w_.polled_ > 0 || sweep_)
        consider(nextPoll_);
    if (!lost_.empty())
        consider(nextLook_);
    if (mountsDue_)
        consider(*mountsDue_);
    for (const Folder* f : unsettled_)
        for (const Pending& p : f->pending)
            consider(p.due);
    if (!next)
        return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, 60'000));
}

void FolderWatcher::Tree::prune(Folder& f)
{
    std::erase_if(f.subs, [](const std::unique_ptr<Folder>& sub) { return sub->dead; });
    for (const auto& sub : f.subs)
        prune(*sub);
}

std::vector<FolderChange> FolderWatcher::Tree::finish()
{
    if (needPrune_) {
        needPrune_ = false;
        std::erase_if(lost_, [](const Folder* f) { return f->dead; });
        prune(*top_);
    }
    return std::exchange(batch_, {});
}

FolderWatcher::FolderWatcher(QByteArray root, std::string pattern, Report report)
    : FolderWatcher(std::move(root), std::move(pattern), std::move(report), Options{})
{
}

FolderWatcher::FolderWatcher(QByteArray root, std::string pattern, Report report, Options options)
    : root_(std::move(root)), pattern_(std::move(pattern)), report_(std::move(report)), options_(options),
      inotify_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    // Without an inotify instance (the per-user limit reached) every folder is polled.
    if (!root_.endsWith('/'))
        root_.append('/');
}

FolderWatcher::~FolderWatcher()
{
    stop_ = true;
    if (wake_) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = write(wake_.get(), &one, sizeof one);
    }
    if (worker_.joinable())
        worker_.join();
}

void FolderWatcher::start(std::vector<QByteArray> found, std::vector<WalkedFolder> folders)
{
    if (worker_.joinable())
        return;
    worker_ = std::thread([this, found = std::move(found), folders = std::move(folders)]() mutable {
        run(std::move(found), std::move(folders));
    });
}

bool FolderWatcher::waitUntilSetUp(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return setUpCv_.wait_for(lock, timeout, [this] { return setUp_; });
}

void FolderWatcher::run(std::vector<QByteArray> found, std::vector<WalkedFolder> folders)
{
    // The system's mount table tells of each mount and unmount after it was
    // opened by a priority event (without it, mounts are seen only where they
    // bring events: a drive that goes). Opened first, so that a drive mounted
    // while the watches are set up is seen too.
    const UniqueFd mounts(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    Tree tree(*this);
    tree.setUp(found, folders, false);
    found = {};
    folders = {};
    auto hand = [&] {
        std::vector<FolderChange> changes = tree.finish();
        if (!changes.empty() && !stop_)
            report_(std::move(changes));
    };
    hand();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        setUp_ = true;
    }
    setUpCv_.notify_all();
    // Without a wake-up descriptor the wait is cut into slices, so that a stop
    // is still seen soon.
    constexpr int kSliceMs = 100;
    while (!stop_) {
        int timeout = tree.msToNext();
        if (!wake_ && (timeout < 0 || timeout > kSliceMs))
            timeout = kSliceMs;
        pollfd fds[3] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}, {mounts.get(), POLLPRI, 0}};
        if (poll(fds, 3, timeout) < 0 && errno != EINTR)
            break;
        if (stop_)
            break;
        if (fds[0].revents & POLLIN)
            tree.onEvents();
        if (fds[2].revents & (POLLPRI | POLLERR))
            tree.onMountsChanged();
        tree.onTimers();
        hand();
    }
}
