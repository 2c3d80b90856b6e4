#include "tools/SafeFile.h"

#include "settings/FolderSync.h"
#include "settings/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace safefile {

namespace {

std::string because(const std::string& what, const std::string& path, int err)
{
    return what + " " + path + ": " + std::strerror(err) + ".";
}

const char* kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

bool writeAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// rename without replacing; filesystems that cannot do that atomically get a
// check first (EINVAL: the flag is not supported there).
bool renameNoReplace(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    struct stat st {};
    if (::lstat(to, &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from, to) == 0;
}

}  // namespace

bool ReadBoundedFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& error)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        error = because("Cannot read", path, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        error = "Cannot read " + path + ": it is " + kindOf(st.st_mode) + ", not a regular file or a pipe.";
        return false;
    }
    const std::string tooLarge = "Cannot read " + path + ": it holds more than " + std::to_string(limit) +
                                 " bytes, the most a settings file may hold.";
    if (S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) > limit) {
        error = tooLarge;
        return false;
    }
    // From here a pipe's reads wait for its writer; one without a writer ends at once.
    if (::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
        error = because("Cannot read", path, errno);
        return false;
    }
    // The size is only a hint: files in /proc say 0, a file may grow while read,
    // and a pipe says nothing: the limit is kept while reading.
    bytes.clear();
    bytes.reserve(S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0);
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = because("Cannot read", path, errno);
            return false;
        }
        if (n == 0)
            return true;
        if (bytes.size() + static_cast<std::size_t>(n) > limit) {
            error = tooLarge;
            return false;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
}

WriteResult WriteFileAtomically(const std::string& path, const std::string& bytes, bool replace,
                                std::string& error)
{
    // Only a file or a link is replaced: renaming over a device, FIFO, socket
    // or folder would take it away from whatever uses it. A replaced file keeps
    // who may read it; a set-id bit is not carried to the new file.
    mode_t mode = 0600;
    struct stat st {};
    if (replace && ::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            error = "Cannot write " + path + ": it is " + kindOf(st.st_mode) + ", not a regular file.";
            return WriteResult::Failed;
        }
        if (S_ISREG(st.st_mode))
            mode = st.st_mode & 0777;
    }
    std::string tmp = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));  // O_EXCL, mode 0600
    if (!fd) {
        error = because("Cannot write", path, errno);
        return WriteResult::Failed;
    }
    bool ok = (mode == 0600 || ::fchmod(fd.get(), mode) == 0) && writeAll(fd.get(), bytes) &&
              ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (ok)
        ok = replace ? ::rename(tmp.c_str(), path.c_str()) == 0 : renameNoReplace(tmp.c_str(), path.c_str());
    if (!ok) {
        int err = errno;
        ::unlink(tmp.c_str());
        if (err == EEXIST && !replace)
            return WriteResult::Exists;
        error = because("Cannot write", path, err);
        return WriteResult::Failed;
    }
    // The rename is durable only once the folder is on disk too.
    if (!SyncFolder(ParentFolder(path))) {
        error = because("Cannot sync the folder of", path, errno) +
                " The file is written but may not be on disk yet.";
        return WriteResult::Failed;
    }
    return WriteResult::Written;
}

}  // namespace safefile
