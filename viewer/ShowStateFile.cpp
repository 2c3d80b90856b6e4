#include "viewer/ShowStateFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <random>

#include "settings/UserFolders.h"

namespace {

constexpr char kMark[8] = {'M', 'G', 'F', 'R', 'A', 'M', 'E', '1'};
constexpr std::size_t kRecordSize = 20;
constexpr std::uint32_t kShown = 1;
constexpr std::uint32_t kNewCycle = 2;
// A log this long is no log of ours: a cycle of 32 million pictures.
constexpr off_t kLargest = off_t{640} << 20;

std::uint64_t mix(std::uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

std::uint64_t fnv(std::string_view bytes)
{
    std::uint64_t h = 0xCBF29CE484222325u;
    for (const char c : bytes)
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3u;
    return h;
}

void put32(std::string& to, std::uint32_t v)
{
    char b[4];
    std::memcpy(b, &v, 4);
    to.append(b, 4);
}

void put64(std::string& to, std::uint64_t v)
{
    char b[8];
    std::memcpy(b, &v, 8);
    to.append(b, 8);
}

template <class T>
T get(const std::string& from, std::size_t at)
{
    T v;
    std::memcpy(&v, from.data() + at, sizeof v);
    return v;
}

std::uint32_t recordCheck(std::uint64_t hash, std::int32_t index, std::uint32_t kind, std::uint32_t salt)
{
    const std::uint64_t rest = (std::uint64_t{static_cast<std::uint32_t>(index)} << 32) | ((std::uint64_t{kind} << 16) ^ salt);
    return static_cast<std::uint32_t>(mix(mix(hash) ^ rest));
}

bool readAll(int fd, std::string& to)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kLargest)
        return false;
    to.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < to.size()) {
        const ssize_t n = ::read(fd, to.data() + got, to.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    to.resize(got);
    return true;
}

bool writeAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Creates the folder and those above it, readable by the user only.
bool makeFolder(const std::string& folder)
{
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at < folder.size() && folder[at] != '/')
            continue;
        const std::string part = folder.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

}  // namespace

std::uint64_t PathHash(std::string_view path) { return mix(fnv(path)); }

RandomOrder::Value ShownAmong(const std::vector<std::uint64_t>& sortedShown, std::int32_t n,
                              const std::function<const QByteArray&(std::int32_t)>& pathAt, std::int32_t& shown)
{
    RandomOrder::Value value = RandomOrder().Saved();
    value.size = n;
    value.shown.assign((static_cast<std::size_t>(n) + 63) / 64, 0);
    shown = 0;
    if (sortedShown.empty())
        return value;
    for (std::int32_t i = 0; i < n; ++i)
        if (std::binary_search(sortedShown.begin(), sortedShown.end(), PathHash(pathAt(i)))) {
            value.shown[static_cast<std::size_t>(i) / 64] |= std::uint64_t{1} << (i % 64);
            ++shown;
        }
    return value;
}

std::string ShowStateFile::Directory() { return UserBaseFolder("XDG_STATE_HOME", ".local/state") + "/marbleglen"; }

std::string ShowStateFile::FileFor(const std::string& directory, std::string_view folder, Order order)
{
    // The same folder written with or without its final "/" is one show.
    while (folder.size() > 1 && folder.back() == '/')
        folder.remove_suffix(1);
    char name[64];
    std::snprintf(name, sizeof name, "/%s-%016llx.state", order == Random ? "random" : "progressive",
                  static_cast<unsigned long long>(PathHash(folder)));
    return directory + name;
}

ShowStateFile::ShowStateFile(std::string path, std::string folder, Order order)
    : path_(std::move(path)), folder_(std::move(folder)), order_(order)
{
    while (folder_.size() > 1 && folder_.back() == '/')
        folder_.pop_back();
}

std::string ShowStateFile::header() const
{
    std::string h(kMark, sizeof kMark);
    put32(h, order_);
    put32(h, salt_);
    put32(h, static_cast<std::uint32_t>(folder_.size()));
    h += folder_;
    put32(h, static_cast<std::uint32_t>(fnv(h)));
    return h;
}

std::string ShowStateFile::encode(const Record& r) const
{
    std::string bytes;
    put64(bytes, r.hash);
    put32(bytes, static_cast<std::uint32_t>(r.index));
    put32(bytes, r.kind);
    put32(bytes, recordCheck(r.hash, r.index, r.kind, salt_));
    return bytes;
}

ShowStateFile::Loaded ShowStateFile::Open()
{
    Loaded loaded;
    std::string bytes;
    bool exists = true;
    std::string unreadable;
    {
        UniqueFd in(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
        if (!in && (errno == ENOENT || errno == ENOTDIR))
            exists = false;
        else if (!in)
            unreadable = std::strerror(errno);
        else if (!readAll(in.get(), bytes))
            unreadable = "not a regular file of a sensible size";
    }

    // The header: the mark, this order, this folder, its checksum.
    std::size_t at = 0;
    bool headerOk = false;
    if (bytes.size() >= sizeof kMark + 16 && std::memcmp(bytes.data(), kMark, sizeof kMark) == 0) {
        const auto order = get<std::uint32_t>(bytes, 8);
        salt_ = get<std::uint32_t>(bytes, 12);
        const auto length = get<std::uint32_t>(bytes, 16);
        at = 20 + std::size_t{length};
        headerOk = order == order_ && length == folder_.size() && bytes.size() >= at + 4
                   && bytes.compare(20, length, folder_) == 0
                   && get<std::uint32_t>(bytes, at) == static_cast<std::uint32_t>(fnv(std::string_view(bytes).substr(0, at)));
        at += 4;
    }

    std::vector<Record> live;
    if (headerOk) {
        for (; at + kRecordSize <= bytes.size(); at += kRecordSize) {
            const Record r{get<std::uint64_t>(bytes, at), get<std::int32_t>(bytes, at + 8),
                           get<std::uint32_t>(bytes, at + 12)};
            if ((r.kind != kShown && r.kind != kNewCycle)
                || get<std::uint32_t>(bytes, at + 16) != recordCheck(r.hash, r.index, r.kind, salt_))
                break;
            ++records_;
            if (r.kind == kNewCycle) {
                live.clear();
                continue;
            }
            if (order_ == Progressive)
                live.clear();
            live.push_back(r);
            last_ = r;
        }
    }

    const bool tornEnd = headerOk && at < bytes.size();
    if (exists && !headerOk) {
        loaded.problem = path_ + (unreadable.empty() ? ": damaged, or not a saved show of this folder and order"
                                                     : ": cannot read it (" + unreadable + ")")
                         + "; starting a new cycle";
        records_ = 0;
        last_.reset();
        live.clear();
    } else if (tornEnd) {
        loaded.problem = path_ + ": the end of the file was damaged (" + std::to_string(bytes.size() - at)
                         + " bytes, an interrupted write); going on from the " + std::to_string(records_)
                         + " records before it";
    }

    for (const Record& r : live)
        loaded.shown.push_back(r.hash);
    if (order_ == Progressive)
        loaded.shown.clear();
    if (last_)
        loaded.last = Last{last_->hash, last_->index};

    // A file that is not all usable, or holds mostly records that no longer
    // count, is written anew; otherwise it is appended to as it is.
    if (!headerOk || records_ - live.size() >= kRewriteAt) {
        if (!headerOk) {
            std::random_device entropy;
            salt_ = entropy();
        }
        rewrite(live);
    } else {
        fd_.reset(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
        if (!fd_)
            fail("cannot open it for writing");
        else if (tornEnd && (ftruncate(fd_.get(), static_cast<off_t>(at)) != 0 || fdatasync(fd_.get()) != 0))
            fail("cannot cut off its damaged end");
    }
    return loaded;
}

bool ShowStateFile::fail(const std::string& what)
{
    error_ = path_ + ": " + what + ": " + std::strerror(errno);
    return false;
}

// The whole file anew beside the old one, synced, then renamed over it: a
// kill or a power cut at any moment leaves the old file or the new one.
bool ShowStateFile::rewrite(const std::vector<Record>& records)
{
    fd_.reset();
    const std::string folder = folderOf(path_);
    if (!makeFolder(folder))
        return fail("cannot create its folder");
    std::string bytes = header();
    for (const Record& r : records)
        bytes += encode(r);
    const std::string temporary = path_ + ".new";
    UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!out)
        return fail("cannot write it");
    bytesWritten_ += bytes.size();
    if (!writeAll(out.get(), bytes) || fsync(out.get()) != 0 || !out.close()) {
        const bool written = fail("cannot write it");
        ::unlink(temporary.c_str());
        return written;
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0)
        return fail("cannot put it in place");
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir || fsync(dir.get()) != 0)
        return fail("cannot sync its folder");
    records_ = records.size();
    dirty_ = false;
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    return fd_ ? true : fail("cannot open it for writing");
}

bool ShowStateFile::append(const Record& record)
{
    if (!fd_)
        return false;
    const std::string bytes = encode(record);
    bytesWritten_ += bytes.size();
    if (!writeAll(fd_.get(), bytes))
        return fail("cannot write it");
    ++records_;
    dirty_ = true;
    return true;
}

bool ShowStateFile::Shown(std::uint64_t hash, std::int32_t index)
{
    const Record record{hash, index, kShown};
    last_ = record;
    // Progressive order needs only the last record: a long log is cut to it.
    if (order_ == Progressive && records_ + 1 >= kRewriteAt)
        return rewrite({record});
    return append(record);
}

bool ShowStateFile::NewCycle()
{
    // A long log starts over; a short one takes a mark, cheaper on flash.
    if (records_ + 1 >= kRewriteAt)
        return rewrite({});
    return append({0, -1, kNewCycle});
}

bool ShowStateFile::Sync()
{
    if (!dirty_)
        return true;
    if (!fd_ || fdatasync(fd_.get()) != 0)
        return fail("cannot sync it");
    dirty_ = false;
    return true;
}
