#include "app/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
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
#include <thread>
#include <utility>

#include "app/MSSearch.h"
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

namespace {
enum class EntryKind { Folder, File, Special };

struct FolderId {
    dev_t dev;
    ino_t ino;
    bool operator==(const FolderId&) const = default;
};

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
// `parentFd`, or by its full path when parentFd is -1. -1 when it cannot be
// opened; a path the system cannot open by name would give entries no one can
// open, so it is not listed either.
int openFolder(const QByteArray& folder, int parentFd, const char* name, FolderId& id)
{
    if (folder.size() >= PATH_MAX)
        return -1;
    // O_DIRECTORY refuses anything but a folder before opening it, so a FIFO
    // that claims to be a folder never blocks us.
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
    UniqueFd fd(parentFd >= 0 ? openat(parentFd, name, flags) : open(folder.constData(), flags));
    if (!fd)
        return -1;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return -1;
    id = {st.st_dev, st.st_ino};
    return fd.release();
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
                if (WildcardMatch(entryName, pattern))
                    names.add(names.files, entryName);
                break;
            case EntryKind::Special:
                break;
            }
        }
    }
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
    Walker(std::string_view pattern, std::int64_t& files, std::int64_t& dirs,
           std::vector<QByteArray>& found, std::atomic<std::int64_t>* progress)
        : pattern_(pattern), files_(files), dirs_(dirs), found_(found), progress_(progress),
          buffer_(kBufferSize)
    {
    }

    // `folder` ends in "/"; `parentFd` is its parent folder when open, so
    // that the folder is opened by its name alone (-1: by its full path).
    void walk(const QByteArray& folder, int parentFd, const char* name)
    {
        FolderId id{};
        const int fd = openFolder(folder, parentFd, name, id);
        if (fd < 0)
            return;
        UniqueFd guard(fd);
        // A folder already being searched further up (a link cycle) counts
        // but is not searched again.
        if (std::find(descent_.begin(), descent_.end(), id) != descent_.end())
            return;
        FolderNames names;
        readNames(fd, pattern_, buffer_, names);

        files_ += static_cast<std::int64_t>(names.files.size());
        appendFiles(folder, names, found_);
        if (progress_)
            progress_->store(files_, std::memory_order_relaxed);
        dirs_ += static_cast<std::int64_t>(names.folders.size());

        // Keep this folder open for its sub-folders unless the walk is so deep
        // that open folders could run out.
        const bool keepOpen = descent_.size() < kMaxOpenFolders;
        if (!keepOpen)
            guard.reset();
        descent_.push_back(id);
        for (const auto& sub : names.folders) {
            const std::string_view n = names.at(sub);
            walk(joined(folder, n, true), keepOpen ? fd : -1, n.data());
        }
        descent_.pop_back();
    }

private:
    std::string_view pattern_;
    std::int64_t& files_;
    std::int64_t& dirs_;
    std::vector<QByteArray>& found_;
    std::atomic<std::int64_t>* progress_;
    std::vector<FolderId> descent_;  // folders on the way down to the current one
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
        // After a failure, folders never listed leave their parents open.
        std::vector<Folder*> left;
        if (top_)
            left.push_back(top_.get());
        while (!left.empty()) {
            Folder* f = left.back();
            left.pop_back();
            if (f->fd >= 0)
                close(f->fd);
            for (auto& sub : f->subs)
                left.push_back(sub.get());
        }
    }

    ParallelWalker(const ParallelWalker&) = delete;
    ParallelWalker& operator=(const ParallelWalker&) = delete;

    void walk(const QByteArray& root, std::int64_t& files, std::int64_t& dirs, std::vector<QByteArray>& found)
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
        };
        std::vector<Step> path;
        std::vector<char> buffer(kBufferSize);
        auto take = [&](Folder& f) {
            waitFor(f, buffer);
            files += static_cast<std::int64_t>(f.names.files.size());
            appendFiles(f.path, f.names, found);
            dirs += static_cast<std::int64_t>(f.subs.size());
            f.names = {};
            path.push_back({&f, 0});
        };
        take(*top_);
        while (!path.empty()) {
            Step& step = path.back();
            if (step.next == step.folder->subs.size()) {
                step.folder->subs.clear();  // every folder below it is done with
                path.pop_back();
                continue;
            }
            take(*step.folder->subs[step.next++]);
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
        FolderNames names;
        std::vector<std::unique_ptr<Folder>> subs;
        // Held open while sub-folders are still to be opened from it.
        int fd = -1;
        std::atomic<std::size_t> subsToOpen{0};
        bool done = false;  // listed (or found unlistable); guarded by mutex_
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
            listSafely(*f, buffer);
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
                listSafely(*other, buffer);
                lock.lock();
                finishLocked(*other);
                continue;
            }
            awaited_ = &f;
            doneCv_.wait(lock);
        }
        awaited_ = nullptr;
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

    void listSafely(Folder& f, std::vector<char>& buffer)
    {
        try {
            list(f, buffer);
        } catch (...) {
            // Out of memory: this folder ends empty, the walk goes on to its
            // end and then fails.
            f.names = {};
            f.subs.clear();
            std::lock_guard<std::mutex> lock(mutex_);
            if (!failure_)
                failure_ = std::current_exception();
        }
    }

    void list(Folder& f, std::vector<char>& buffer)
    {
        UniqueFd fd(openAsInTurn(f));
        // A folder already being searched further up (a link cycle) counts
        // but is not searched again.
        if (fd.get() < 0 || onDescent(f))
            return;
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
        if (!f.subs.empty() && f.depth < kMaxOpenFolders) {
            if (held_.fetch_add(1, std::memory_order_relaxed) < heldLimit_) {
                f.subsToOpen.store(f.subs.size(), std::memory_order_relaxed);
                f.fd = fd.release();
            } else {
                held_.fetch_sub(1, std::memory_order_relaxed);
            }
        }
    }

    // Opens `f` as the walk in turn would; -1 when it cannot be listed.
    int openAsInTurn(Folder& f)
    {
        Folder* parent = f.parent;
        if (!parent)
            return openFolder(f.path, -1, nullptr, f.id);
        if (parent->depth >= kMaxOpenFolders)
            return openFolder(f.path, -1, nullptr, f.id);
        int fd = -1;
        if (f.path.size() < PATH_MAX) {
            if (parent->fd >= 0) {
                fd = openFolder(f.path, parent->fd, f.name.constData(), f.id);
            } else if (const int again = reopen(*parent); again >= 0) {
                fd = openFolder(f.path, again, f.name.constData(), f.id);
                close(again);
            }
        }
        releaseParent(*parent);
        return fd;
    }

    // `f` opened once more, the way it was first opened (for a sub-folder
    // whose parent could not be held open).
    static int reopen(const Folder& f)
    {
        FolderId ignored{};
        if (!f.parent || f.parent->depth >= kMaxOpenFolders)
            return openFolder(f.path, -1, nullptr, ignored);
        const int parentFd = reopen(*f.parent);
        if (parentFd < 0)
            return -1;
        const int fd = openFolder(f.path, parentFd, f.name.constData(), ignored);
        close(parentFd);
        return fd;
    }

    // A sub-folder has been opened: the last one closes its held parent.
    void releaseParent(Folder& parent)
    {
        if (parent.fd < 0)
            return;
        if (parent.subsToOpen.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            close(parent.fd);
            parent.fd = -1;
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
};
}  // namespace

void FindFilesInTurn(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
                     std::int64_t& DirCount, std::vector<QByteArray>& found,
                     std::atomic<std::int64_t>* progress)
{
    if (!path.endsWith('/'))
        path.append('/');
    Walker(SearchStr, FileCount, DirCount, found, progress).walk(path, -1, nullptr);
}

void FindFiles(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
               std::int64_t& DirCount, std::vector<QByteArray>& found,
               std::atomic<std::int64_t>* progress, int threads)
{
    if (!path.endsWith('/'))
        path.append('/');
    ParallelWalker(SearchStr, threads, progress).walk(path, FileCount, DirCount, found);
}
