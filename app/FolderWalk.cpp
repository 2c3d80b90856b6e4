#include "app/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "app/MSSearch.h"
#include "app/NaturalOrder.h"

namespace {
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}
}  // namespace

bool WildcardMatch(std::string_view name, std::string_view pattern)
{
    // The usual pattern, "*.jpg", is a plain ending.
    if (!pattern.empty() && pattern[0] == '*' && pattern.find_first_of("*?", 1) == std::string_view::npos) {
        const std::string_view ending = pattern.substr(1);
        return name.size() >= ending.size() && sameIgnoringCase(name.substr(name.size() - ending.size()), ending);
    }
    std::size_t n = 0, p = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && lower(pattern[p]) == lower(name[n])))) {
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

// Folders kept open on the way down; deeper ones are opened by full path.
constexpr std::size_t kMaxOpenFolders = 64;

// One folder's names: copied into one block, so that a folder costs a few
// allocations however many names it holds.
struct FolderNames {
    std::string block;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> files, folders;  // offset, length

    std::string_view at(std::pair<std::uint32_t, std::uint32_t> name) const
    {
        return std::string_view(block).substr(name.first, name.second);
    }
    void add(std::vector<std::pair<std::uint32_t, std::uint32_t>>& to, std::string_view name)
    {
        to.emplace_back(static_cast<std::uint32_t>(block.size()), static_cast<std::uint32_t>(name.size()));
        block.append(name);
        block.push_back('\0');  // so that a name can be handed to the system as it stands
    }
    void sort(std::vector<std::pair<std::uint32_t, std::uint32_t>>& names) const
    {
        std::sort(names.begin(), names.end(), [this](auto a, auto b) { return NaturalLess(at(a), at(b)); });
    }
};

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
        FolderNames names;
        FolderId id{};
        const int fd = list(folder, parentFd, name, id, names);
        if (fd < 0)
            return;

        names.sort(names.files);
        names.sort(names.folders);

        files_ += static_cast<std::int64_t>(names.files.size());
        for (const auto& file : names.files) {
            const std::string_view n = names.at(file);
            QByteArray path(folder.size() + static_cast<qsizetype>(n.size()), Qt::Uninitialized);
            std::memcpy(path.data(), folder.constData(), static_cast<std::size_t>(folder.size()));
            std::memcpy(path.data() + folder.size(), n.data(), n.size());
            found_.push_back(std::move(path));
        }
        if (progress_)
            progress_->store(files_, std::memory_order_relaxed);
        dirs_ += static_cast<std::int64_t>(names.folders.size());

        // Keep this folder open for its sub-folders unless the walk is so deep
        // that open folders could run out.
        const bool keepOpen = descent_.size() < kMaxOpenFolders;
        if (!keepOpen)
            close(fd);
        descent_.push_back(id);
        for (const auto& sub : names.folders) {
            const std::string_view n = names.at(sub);
            QByteArray subPath;
            subPath.reserve(folder.size() + static_cast<qsizetype>(n.size()) + 1);
            subPath.append(folder).append(n.data(), static_cast<qsizetype>(n.size())).append('/');
            walk(subPath, keepOpen ? fd : -1, n.data());
        }
        descent_.pop_back();
        if (keepOpen)
            close(fd);
    }

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    // Reads one folder's names and returns the folder, open; -1 when it cannot
    // be listed or is already being searched further up.
    int list(const QByteArray& folder, int parentFd, const char* name, FolderId& id, FolderNames& names)
    {
        // A path the system cannot open by name would give entries no one can open.
        if (folder.size() >= PATH_MAX)
            return -1;
        // O_DIRECTORY refuses anything but a folder before opening it, so a
        // FIFO that claims to be a folder never blocks us.
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;
        const int fd = parentFd >= 0 ? openat(parentFd, name, flags) : open(folder.constData(), flags);
        if (fd < 0)
            return -1;
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            close(fd);
            return -1;
        }
        id = {st.st_dev, st.st_ino};
        if (std::find(descent_.begin(), descent_.end(), id) != descent_.end()) {
            close(fd);
            return -1;
        }
        // The raw listing: no directory stream to allocate, and the entry
        // types come with the names.
        ssize_t got;
        while ((got = getdents64(fd, buffer_.data(), buffer_.size())) > 0) {
            for (ssize_t at = 0; at < got;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer_.data() + at);
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
                    if (WildcardMatch(entryName, pattern_))
                        names.add(names.files, entryName);
                    break;
                case EntryKind::Special:
                    break;
                }
            }
        }
        return fd;
    }

    std::string_view pattern_;
    std::int64_t& files_;
    std::int64_t& dirs_;
    std::vector<QByteArray>& found_;
    std::atomic<std::int64_t>* progress_;
    std::vector<FolderId> descent_;  // folders on the way down to the current one
    std::vector<char> buffer_;        // one folder's listing at a time
};
}  // namespace

void FindFiles(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
               std::int64_t& DirCount, std::vector<QByteArray>& found,
               std::atomic<std::int64_t>* progress)
{
    if (!path.endsWith('/'))
        path.append('/');
    Walker(SearchStr, FileCount, DirCount, found, progress).walk(path, -1, nullptr);
}
