#include "app/FolderWalk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "app/NaturalOrder.h"
#include "settings/Text.h"
#include "settings/UniqueFd.h"

bool WildcardMatch(std::string_view name, std::string_view pattern)
{
    // The usual pattern, "*.jpg", is a plain ending.
    if (!pattern.empty() && pattern[0] == '*' && pattern.find_first_of("*?", 1) == std::string_view::npos) {
        const std::string_view ending = pattern.substr(1);
        return name.size() >= ending.size() && EqualIgnoringAsciiCase(name.substr(name.size() - ending.size()), ending);
    }
    std::size_t n = 0, p = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && AsciiLower(pattern[p]) == AsciiLower(name[n])))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            // Let the last star take one more character and try again.
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool MatchesSearch(std::string_view name, std::string_view SearchStr)
{
    for (;;) {
        const std::size_t end = SearchStr.find(';');
        if (WildcardMatch(name, SearchStr.substr(0, end)))
            return true;
        if (end == std::string_view::npos)
            return false;
        SearchStr.remove_prefix(end + 1);
    }
}

namespace {

// A name delivered in a fixed-size name field: the part before the first NUL,
// or the whole field when it holds none.
std::string_view TrimAtNull(std::string_view field)
{
    const auto nul = field.find('\0');
    return nul == std::string_view::npos ? field : field.substr(0, nul);
}

enum class EntryKind { Folder, File, Special };

struct FolderId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FolderId&) const = default;
};

struct FolderIdHash {
    std::size_t operator()(const FolderId& id) const noexcept
    {
        return std::hash<ino_t>{}(id.ino) * 31 + std::hash<dev_t>{}(id.dev);
    }
};

// How often each folder has been searched, so that links leading into a
// folder again and again cannot multiply the walk's work.
class FolderVisits {
public:
    // Counts one more search of `id`; false when it has had its share.
    bool take(FolderId id)
    {
        int& searches = counts_[id];
        if (searches >= kMaxSearchesPerFolder)
            return false;
        ++searches;
        return true;
    }

private:
    std::unordered_map<FolderId, int, FolderIdHash> counts_;
};

// Out of descriptors or memory, the program cannot list any folder: that ends
// the walk instead of passing for an empty folder.
void failIfOutOfResources(int error)
{
    if (error == EMFILE || error == ENFILE || error == ENOMEM)
        throw std::system_error(error, std::generic_category());
}

EntryKind kindOfStat(int dirFd, const char* name)
{
    struct stat st {};
    // Follows links; an entry we cannot read counts as a folder.
    if (fstatat(dirFd, name, &st, 0) != 0 || S_ISDIR(st.st_mode))
        return EntryKind::Folder;
    return S_ISREG(st.st_mode) ? EntryKind::File : EntryKind::Special;
}

// The type the listing reports; only links and unknown types cost a stat.
EntryKind kindOf(int dirFd, unsigned char type, const char* name)
{
    switch (type) {
    case DT_DIR:
        return EntryKind::Folder;
    case DT_REG:
        return EntryKind::File;
    case DT_LNK:
    case DT_UNKNOWN:
        return kindOfStat(dirFd, name);
    default:
        return EntryKind::Special;
    }
}

// Folders this deep or less are opened by name from their open parent; deeper
// ones by full path, so that a deep walk cannot run out of open folders.
constexpr std::size_t kMaxOpenFolders = 64;
constexpr std::size_t kBufferSize = 64 * 1024;

// One folder's names: copied into one block, so that a folder costs a few
// allocations however many names it holds.
struct FolderNames {
    using Name = std::pair<std::uint32_t, std::uint32_t>;  // offset, length
    std::string block;
    std::vector<Name> files, folders;

    std::string_view at(Name name) const { return std::string_view(block).substr(name.first, name.second); }
    void add(std::vector<Name>& to, std::string_view name)
    {
        to.emplace_back(static_cast<std::uint32_t>(block.size()), static_cast<std::uint32_t>(name.size()));
        block.append(name);
        block.push_back('\0');  // so that a name can be handed to the system as it stands
    }
    void sort(std::vector<Name>& names) const
    {
        std::sort(names.begin(), names.end(), [this](Name a, Name b) { return NaturalLess(at(a), at(b)); });
    }
};

// Opens `folder` (ending in "/") for listing: by `name` in the open folder
// `parentFd`, or by its full path when parentFd is -1. Nothing when it cannot
// be opened; a path the system cannot open by name would give entries no one
// can open, so it is not listed either.
UniqueFd openFolder(const QByteArray& folder, int parentFd, const char* name, FolderId& id,
                    WalkedFolder* stamp = nullptr)
{
    if (folder.size() >= PATH_MAX)
        return {};
    // O_DIRECTORY refuses anything but a folder before opening it, so a FIFO
    // that claims to be a folder never blocks us.
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
    UniqueFd fd(parentFd >= 0 ? openat(parentFd, name, flags) : open(folder.constData(), flags));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        failIfOutOfResources(errno);
        return {};
    }
    id = {st.st_dev, st.st_ino};
    if (stamp) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME_COARSE, &now);
        stamp->dev = st.st_dev;
        stamp->ino = st.st_ino;
        stamp->mtimeNs = st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec;
        stamp->listedAtNs = now.tv_sec * 1'000'000'000LL + now.tv_nsec;
    }
    return fd;
}

// Reads an open folder's sub-folders and the files matching `pattern`, each
// in natural order.
void readNames(int fd, std::string_view pattern, std::vector<char>& buffer, FolderNames& names)
{
    // The raw listing: no directory stream to allocate, and the entry types
    // come with the names.
    ssize_t got;
    while ((got = getdents64(fd, buffer.data(), buffer.size())) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer.data() + at);
            at += entry->d_reclen;
            const std::size_t field = entry->d_reclen - offsetof(dirent64, d_name);
            const std::string_view entryName = TrimAtNull({entry->d_name, field});
            if (entryName == "." || entryName == "..")
                continue;
            switch (kindOf(fd, entry->d_type, entry->d_name)) {
            case EntryKind::Folder:
                names.add(names.folders, entryName);
                break;
            case EntryKind::File:
                if (MatchesSearch(entryName, pattern))
                    names.add(names.files, entryName);
                break;
            case EntryKind::Special:
                break;
            }
        }
    }
    if (got < 0)
        failIfOutOfResources(errno);
    names.sort(names.files);
    names.sort(names.folders);
}

QByteArray joined(const QByteArray& folder, std::string_view name, bool asFolder)
{
    QByteArray path(folder.size() + static_cast<qsizetype>(name.size()) + (asFolder ? 1 : 0), Qt::Uninitialized);
    std::memcpy(path.data(), folder.constData(), static_cast<std::size_t>(folder.size()));
    std::memcpy(path.data() + folder.size(), name.data(), name.size());
    if (asFolder)
        path[path.size() - 1] = '/';
    return path;
}

void appendFiles(const QByteArray& folder, const FolderNames& names, std::vector<QByteArray>& found)
{
    for (const auto& file : names.files)
        found.push_back(joined(folder, names.at(file), false));
}

// The walk one folder at a time, depth first.
class Walker {
public:
    Walker(std::string_view pattern, std::int64_t& files, std::int64_t& dirs, std::int64_t& notSearched,
           std::vector<QByteArray>& found, std::atomic<std::int64_t>* progress)
        : pattern_(pattern), files_(files), dirs_(dirs), notSearched_(notSearched), found_(found),
          progress_(progress), buffer_(kBufferSize)
    {
    }

    // `folder` ends in "/"; `parentFd` is its parent folder when open, so
    // that the folder is opened by its name alone (-1: by its full path).
    void walk(const QByteArray& folder, int parentFd, const char* name)
    {
        FolderId id{};
        UniqueFd fd = openFolder(folder, parentFd, name, id);
        if (!fd)
            return;
        // A folder already being searched further up (a link cycle) counts
        // but is not searched again.
        if (std::find(descent_.begin(), descent_.end(), id) != descent_.end())
            return;
        if (!searches_.take(id)) {
            ++notSearched_;
            return;
        }
        FolderNames names;
        readNames(fd.get(), pattern_, buffer_, names);

        files_ += static_cast<std::int64_t>(names.files.size());
        appendFiles(folder, names, found_);
        if (progress_)
            progress_->store(files_, std::memory_order_relaxed);
        dirs_ += static_cast<std::int64_t>(names.folders.size());

        // Keep this folder open for its sub-folders unless the walk is so deep
        // that open folders could run out.
        const bool keepOpen = descent_.size() < kMaxOpenFolders;
        if (!keepOpen)
            fd.reset();
        descent_.push_back(id);
        for (const auto& sub : names.folders) {
            const std::string_view n = names.at(sub);
            walk(joined(folder, n, true), fd.get(), n.data());
        }
        descent_.pop_back();
    }

private:
    std::string_view pattern_;
    std::int64_t& files_;
    std::int64_t& dirs_;
    std::int64_t& notSearched_;
    std::vector<QByteArray>& found_;
    std::atomic<std::int64_t>* progress_;
    std::vector<FolderId> descent_;  // folders on the way down to the current one
    FolderVisits searches_;
    std::vector<char> buffer_;        // one folder's listing at a time
};

// The same walk with folders listed on several threads at once. Workers take
// folders from a stack (the first sub-folder on top, so that the walk runs
// roughly in the order it is put together) and hang each folder's sub-folders
// below it; the calling thread goes through the tree depth first, waiting for
// each folder in turn, and builds the list, so the result is the one the walk
// in turn gives. A folder is opened exactly as that walk opens it: by name in
// its parent while the parent is shallow enough to be kept open, else by full
// path; and it is skipped when it is one of its own ancestors.
//
// Which visits of a folder are searched (kMaxSearchesPerFolder) depends on the
// walk's order, so the calling thread decides it. The workers list each folder
// at most that many times too, on whichever visits they reach first; a visit
// the calling thread searches but no worker listed is listed there, and what
// the workers found below a visit it does not search is dropped. Each folder is
// thus listed at most twice the allowed number of times.
class ParallelWalker {
public:
    ParallelWalker(std::string_view pattern, int threads, std::atomic<std::int64_t>* progress)
        : pattern_(pattern), maxThreads_(static_cast<std::size_t>(std::max(1, threads))), progress_(progress)
    {
        threads_.reserve(maxThreads_);  // so that adding a worker cannot fail after it started
        // Folders held open for their sub-folders take descriptors; above this
        // many, a folder is opened again from the top when a sub-folder needs it.
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            heldLimit_ = std::min<std::size_t>(heldLimit_, static_cast<std::size_t>(limit.rlim_cur) / 4);
    }

    ~ParallelWalker()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        workCv_.notify_all();
        for (std::thread& t : threads_)
            t.join();
        // Folders still held open (after a failure) close with the tree.
    }

    ParallelWalker(const ParallelWalker&) = delete;
    ParallelWalker& operator=(const ParallelWalker&) = delete;

    void walk(const QByteArray& root, std::int64_t& files, std::int64_t& dirs, std::int64_t& notSearched,
              std::vector<QByteArray>& found)
    {
        top_ = std::make_unique<Folder>();
        top_->path = root;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(top_.get());
            spawnWorkers();
        }
        workCv_.notify_one();

        struct Step {
            Folder* folder;
            std::size_t next;  // the sub-folder to go into next
            bool searched;     // false: waited for only, so that its sub-folders can go
        };
        std::vector<Step> path;
        std::vector<char> buffer(kBufferSize);
        FolderVisits searches;
        auto take = [&](Folder& f, bool parentSearched) {
            waitFor(f, buffer);
            const bool searched = parentSearched && (!f.searchable || searches.take(f.id));
            if (!searched) {
                f.dropped.store(true, std::memory_order_relaxed);
                if (parentSearched)
                    ++notSearched;
                if (f.listed && progress_)
                    progress_->fetch_sub(static_cast<std::int64_t>(f.names.files.size()), std::memory_order_relaxed);
            } else {
                if (f.searchable && !f.listed)
                    listHere(f, buffer);
                if (folders_ && f.searchable) {
                    f.stamp.path = f.path;
                    folders_->push_back(f.stamp);
                }
                files += static_cast<std::int64_t>(f.names.files.size());
                appendFiles(f.path, f.names, found);
                if (onFound_ && !f.names.files.empty())
                    onFound_(found);
                dirs += static_cast<std::int64_t>(f.subs.size());
            }
            f.names = {};
            path.push_back({&f, 0, searched});
        };
        take(*top_, true);
        while (!path.empty()) {
            Step& step = path.back();
            if (step.next == step.folder->subs.size()) {
                step.folder->subs.clear();  // every folder below it is done with
                path.pop_back();
                continue;
            }
            take(*step.folder->subs[step.next++], step.searched);
        }
        if (failure_)
            std::rethrow_exception(failure_);
    }

private:
    struct Folder {
        Folder* parent = nullptr;
        QByteArray path;  // ends in "/"
        QByteArray name;  // in the parent
        std::size_t depth = 0;
        FolderId id{};
        WalkedFolder stamp;  // as first opened, for folders_
        FolderNames names;
        std::vector<std::unique_ptr<Folder>> subs;
        // Held open while sub-folders are still to be opened from it.
        UniqueFd fd;
        std::atomic<std::size_t> subsToOpen{0};
        std::atomic<bool> dropped{false};  // not searched: nothing below it is listed
        bool searchable = false;  // opened, and not one of its own ancestors
        bool listed = false;      // names and subs read
        bool done = false;        // listed (or found unlistable); guarded by mutex_
    };

    // With mutex_ held: more workers while folders wait and none is free.
    void spawnWorkers()
    {
        while (threads_.size() < maxThreads_ && queue_.size() > idle_) {
            ++idle_;
            try {
                threads_.emplace_back([this] { work(); });
            } catch (...) {
                --idle_;  // the workers there are (and the calling thread) carry on
                return;
            }
        }
    }

    void work()
    {
        std::vector<char> buffer;
        try {
            buffer.resize(kBufferSize);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            --idle_;
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            workCv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            Folder* f = popLocked();
            --idle_;
            lock.unlock();
            listSafely(*f, buffer, false);
            lock.lock();
            ++idle_;
            finishLocked(*f);
        }
    }

    // Waits until `f` is listed, listing waiting folders itself meanwhile.
    void waitFor(Folder& f, std::vector<char>& buffer)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!f.done) {
            if (!queue_.empty()) {
                Folder* other = popLocked();
                lock.unlock();
                listSafely(*other, buffer, false);
                lock.lock();
                finishLocked(*other);
                continue;
            }
            awaited_ = &f;
            doneCv_.wait(lock);
        }
        awaited_ = nullptr;
    }

    // Lists a folder the walk searches on a visit no worker listed, and hands
    // its sub-folders to the workers.
    void listHere(Folder& f, std::vector<char>& buffer)
    {
        listSafely(f, buffer, true);
        std::lock_guard<std::mutex> lock(mutex_);
        finishLocked(f);
    }

    Folder* popLocked()
    {
        Folder* f = queue_.back();
        queue_.pop_back();
        return f;
    }

    void finishLocked(Folder& f)
    {
        for (auto it = f.subs.rbegin(); it != f.subs.rend(); ++it)
            queue_.push_back(it->get());
        if (!f.subs.empty()) {
            spawnWorkers();
            if (f.subs.size() == 1)
                workCv_.notify_one();
            else
                workCv_.notify_all();
        }
        f.done = true;
        if (awaited_ == &f)
            doneCv_.notify_one();
    }

    void listSafely(Folder& f, std::vector<char>& buffer, bool again)
    {
        try {
            list(f, buffer, again);
        } catch (...) {
            // Out of memory or descriptors: this folder ends empty, the walk
            // goes on to its end and then fails.
            f.names = {};
            f.subs.clear();
            f.listed = false;
            std::lock_guard<std::mutex> lock(mutex_);
            if (!failure_)
                failure_ = std::current_exception();
        }
    }

    // Lists `f` for the first time, or `again` for the calling thread once it
    // has been opened and found searchable.
    void list(Folder& f, std::vector<char>& buffer, bool again)
    {
        if (!again && f.parent && f.parent->dropped.load(std::memory_order_relaxed)) {
            releaseParent(*f.parent);
            return;
        }
        UniqueFd fd = again ? reopen(f) : openAsInTurn(f);
        if (!fd)
            return;
        if (!again) {
            // A folder already being searched further up (a link cycle)
            // counts but is not searched again.
            if (onDescent(f))
                return;
            f.searchable = true;
            std::lock_guard<std::mutex> lock(mutex_);
            if (!listings_.take(f.id))
                return;
        }
        readNames(fd.get(), pattern_, buffer, f.names);
        if (progress_)
            progress_->fetch_add(static_cast<std::int64_t>(f.names.files.size()), std::memory_order_relaxed);
        f.subs.reserve(f.names.folders.size());
        for (const auto& sub : f.names.folders) {
            const std::string_view n = f.names.at(sub);
            auto s = std::make_unique<Folder>();
            s->parent = &f;
            s->depth = f.depth + 1;
            s->name = QByteArray(n.data(), static_cast<qsizetype>(n.size()));
            s->path = joined(f.path, n, true);
            f.subs.push_back(std::move(s));
        }
        f.listed = true;
        if (!f.subs.empty() && f.depth < kMaxOpenFolders) {
            if (held_.fetch_add(1, std::memory_order_relaxed) < heldLimit_) {
                f.subsToOpen.store(f.subs.size(), std::memory_order_relaxed);
                f.fd = std::move(fd);
            } else {
                held_.fetch_sub(1, std::memory_order_relaxed);
            }
        }
    }

    // Opens `f` as the walk in turn would; nothing when it cannot be listed.
    UniqueFd openAsInTurn(Folder& f)
    {
        Folder* parent = f.parent;
        if (!parent || parent->depth >= kMaxOpenFolders)
            return openFolder(f.path, -1, nullptr, f.id, stampFor(f));
        UniqueFd fd;
        if (f.path.size() < PATH_MAX) {
            if (parent->fd)
                fd = openFolder(f.path, parent->fd.get(), f.name.constData(), f.id, stampFor(f));
            else if (const UniqueFd again = reopen(*parent))
                fd = openFolder(f.path, again.get(), f.name.constData(), f.id, stampFor(f));
        }
        releaseParent(*parent);
        return fd;
    }

    WalkedFolder* stampFor(Folder& f) const { return folders_ ? &f.stamp : nullptr; }

    // `f` opened once more, the way it was first opened (for a sub-folder
    // whose parent could not be held open).
    static UniqueFd reopen(const Folder& f)
    {
        FolderId ignored{};
        if (!f.parent || f.parent->depth >= kMaxOpenFolders)
            return openFolder(f.path, -1, nullptr, ignored);
        const UniqueFd parentFd = reopen(*f.parent);
        if (!parentFd)
            return {};
        return openFolder(f.path, parentFd.get(), f.name.constData(), ignored);
    }

    // A sub-folder has been opened: the last one closes its held parent.
    void releaseParent(Folder& parent)
    {
        if (!parent.fd)
            return;
        if (parent.subsToOpen.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            parent.fd.reset();
            held_.fetch_sub(1, std::memory_order_relaxed);
        }
    }

    static bool onDescent(const Folder& f)
    {
        for (const Folder* up = f.parent; up; up = up->parent)
            if (up->id == f.id)
                return true;
        return false;
    }

public:
    FoundSoFar onFound_;
    std::vector<WalkedFolder>* folders_ = nullptr;

private:
    std::string_view pattern_;
    std::size_t maxThreads_;
    std::atomic<std::int64_t>* progress_;
    std::size_t heldLimit_ = 256;
    std::atomic<std::size_t> held_{0};
    std::unique_ptr<Folder> top_;

    std::mutex mutex_;  // guards what follows
    std::condition_variable workCv_;  // folders wait, or the walk ends
    std::condition_variable doneCv_;  // the folder the calling thread waits for is done
    std::vector<Folder*> queue_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;  // workers not listing a folder
    bool stop_ = false;
    Folder* awaited_ = nullptr;
    std::exception_ptr failure_;
    FolderVisits listings_;  // the workers' listings of each folder
};
}  // namespace

void FindFilesInTurn(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
                     std::int64_t& DirCount, std::int64_t& NotSearched, std::vector<QByteArray>& found,
                     std::atomic<std::int64_t>* progress)
{
    if (!path.endsWith('/'))
        path.append('/');
    Walker(SearchStr, FileCount, DirCount, NotSearched, found, progress).walk(path, -1, nullptr);
}

void FindFiles(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
               std::int64_t& DirCount, std::int64_t& NotSearched, std::vector<QByteArray>& found,
               std::atomic<std::int64_t>* progress, int threads, std::vector<WalkedFolder>* folders)
{
    if (!path.endsWith('/'))
        path.append('/');
    ParallelWalker walker(SearchStr, threads, progress);
    walker.folders_ = folders;
    walker.walk(path, FileCount, DirCount, NotSearched, found);
}

void FindFilesWatched(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
                      std::int64_t& DirCount, std::int64_t& NotSearched, std::vector<QByteArray>& found,
                      FoundSoFar onFound, std::vector<WalkedFolder>* folders)
{
    if (!path.endsWith('/'))
        path.append('/');
    ParallelWalker walker(SearchStr, kWalkThreads, nullptr);
    walker.onFound_ = std::move(onFound);
    walker.folders_ = folders;
    walker.walk(path, FileCount, DirCount, NotSearched, found);
}

bool ListFolder(const QByteArray& folder, std::string_view SearchStr, WalkedFolder& self,
                std::vector<QByteArray>& files, std::vector<QByteArray>& subFolders)
{
    FolderId id{};
    const UniqueFd fd = openFolder(folder, -1, nullptr, id, &self);
    if (!fd)
        return false;
    self.path = folder;
    std::vector<char> buffer(kBufferSize);
    FolderNames names;
    readNames(fd.get(), SearchStr, buffer, names);
    auto copy = [&names](const std::vector<FolderNames::Name>& from, std::vector<QByteArray>& to) {
        to.clear();
        to.reserve(from.size());
        for (const auto& n : from) {
            const std::string_view name = names.at(n);
            to.emplace_back(name.data(), static_cast<qsizetype>(name.size()));
        }
    };
    copy(names.files, files);
    copy(names.folders, subFolders);
    return true;
}
