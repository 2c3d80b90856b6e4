#include "app/FolderWalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "app/MSSearch.h"
#include "app/NaturalOrder.h"

bool WildcardMatch(std::string_view name, std::string_view pattern)
{
    auto same = [](char a, char b) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        return lower(a) == lower(b);
    };
    std::size_t n = 0, p = 0;
    std::size_t starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && same(pattern[p], name[n])))) {
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
EntryKind kindOf(int dirFd, const dirent& entry)
{
    switch (entry.d_type) {
    case DT_DIR:
        return EntryKind::Folder;
    case DT_REG:
        return EntryKind::File;
    case DT_LNK:
    case DT_UNKNOWN:
        return kindOfStat(dirFd, entry.d_name);
    default:
        return EntryKind::Special;
    }
}

class Walker {
public:
    Walker(std::string_view pattern, std::int64_t& files, std::int64_t& dirs,
           std::vector<QByteArray>& found, std::atomic<std::int64_t>* progress)
        : pattern_(pattern), files_(files), dirs_(dirs), found_(found), progress_(progress)
    {
    }

    // `folder` ends in "/".
    void walk(const QByteArray& folder)
    {
        std::vector<std::string> fileNames, folderNames;
        FolderId id{};
        if (!list(folder, id, fileNames, folderNames))
            return;

        std::sort(fileNames.begin(), fileNames.end(), NaturalLess);
        std::sort(folderNames.begin(), folderNames.end(), NaturalLess);

        files_ += static_cast<std::int64_t>(fileNames.size());
        for (const std::string& name : fileNames)
            found_.push_back(folder + QByteArray::fromRawData(name.data(), static_cast<qsizetype>(name.size())));
        if (progress_)
            progress_->store(files_, std::memory_order_relaxed);
        dirs_ += static_cast<std::int64_t>(folderNames.size());

        descent_.push_back(id);
        for (const std::string& name : folderNames) {
            QByteArray sub = folder;
            sub.append(name.data(), static_cast<qsizetype>(name.size())).append('/');
            walk(sub);
        }
        descent_.pop_back();
    }

private:
    // Reads one folder's names; false when it cannot be listed or is already
    // being searched further up.
    bool list(const QByteArray& folder, FolderId& id, std::vector<std::string>& fileNames,
              std::vector<std::string>& folderNames)
    {
        // A path the system cannot open by name would give entries no one can open.
        if (folder.size() >= PATH_MAX)
            return false;
        // O_DIRECTORY refuses anything but a folder before opening it, so a
        // FIFO that claims to be a folder never blocks us.
        const int fd = open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return false;
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            close(fd);
            return false;
        }
        id = {st.st_dev, st.st_ino};
        if (std::find(descent_.begin(), descent_.end(), id) != descent_.end()) {
            close(fd);
            return false;
        }
        DIR* dir = fdopendir(fd);
        if (!dir) {
            close(fd);
            return false;
        }
        while (const dirent* entry = readdir(dir)) {
            const std::string_view name = TrimAtNull({entry->d_name, sizeof entry->d_name});
            if (name == "." || name == "..")
                continue;
            switch (kindOf(fd, *entry)) {
            case EntryKind::Folder:
                folderNames.emplace_back(name);
                break;
            case EntryKind::File:
                if (WildcardMatch(name, pattern_))
                    fileNames.emplace_back(name);
                break;
            case EntryKind::Special:
                break;
            }
        }
        closedir(dir);  // also closes fd
        return true;
    }

    std::string_view pattern_;
    std::int64_t& files_;
    std::int64_t& dirs_;
    std::vector<QByteArray>& found_;
    std::atomic<std::int64_t>* progress_;
    std::vector<FolderId> descent_;  // folders on the way down to the current one
};
}  // namespace

void FindFiles(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
               std::int64_t& DirCount, std::vector<QByteArray>& found,
               std::atomic<std::int64_t>* progress)
{
    if (!path.endsWith('/'))
        path.append('/');
    Walker(SearchStr, FileCount, DirCount, found, progress).walk(path);
}
