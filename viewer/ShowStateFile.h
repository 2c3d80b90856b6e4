#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QByteArray>

#include <functional>

#include "settings/UniqueFd.h"
#include "viewer/RandomOrder.h"

// A 64-bit digest of a path's bytes. The saved place of a show names its
// pictures by these, so that it maps onto a list that has changed since.
std::uint64_t PathHash(std::string_view path);
inline std::uint64_t PathHash(const QByteArray& path)
{
    return PathHash(std::string_view(path.constData(), static_cast<std::size_t>(path.size())));
}

// A random order over n paths in which those whose digests are in
// `sortedShown` count as shown in this cycle: a saved place put onto the list
// as it is now. `shown` gets how many; the generator starts afresh.
RandomOrder::Value ShownAmong(const std::vector<std::uint64_t>& sortedShown, std::int32_t n,
                              const std::function<const QByteArray&(std::int32_t)>& pathAt, std::int32_t& shown);

// Where a show of one folder in one order stands between runs: a small
// append-only log under $XDG_STATE_HOME/marbleglen/, one file per folder and
// order.
//
// The file is a header (a mark, the order, the folder's path, a checksum)
// followed by 20-byte records: a picture shown (its path's digest and its
// list position) or the start of a new cycle, each with a checksum keyed
// from the header, so that a torn or foreign record is never taken. What
// counts is, in random order, the pictures shown since the last new cycle;
// in progressive order, the last picture shown.
//
// A tick appends one record and nothing else; the log is made durable by
// Sync(), which the owner calls at most every so often (a frame runs on an
// SD card), and at the end. The log is written anew (temporary file, synced,
// renamed) only when it has grown long with records that no longer count.
class ShowStateFile {
public:
    enum Order : std::uint32_t { Progressive = 1, Random = 2 };

    struct Last {
        std::uint64_t hash = 0;
        std::int32_t index = -1;
    };

    // What was read back.
    struct Loaded {
        std::vector<std::uint64_t> shown;  // random: shown in this cycle, in the order shown
        std::optional<Last> last;          // the last picture shown, either order
        std::string problem;               // one line for the user when the file was not all usable
    };

    // The folder the state files go in: $XDG_STATE_HOME/marbleglen, by
    // default ~/.local/state/marbleglen.
    static std::string Directory();
    // The file for this folder and order in `directory`.
    static std::string FileFor(const std::string& directory, std::string_view folder, Order order);

    ShowStateFile(std::string path, std::string folder, Order order);
    ShowStateFile(const ShowStateFile&) = delete;
    ShowStateFile& operator=(const ShowStateFile&) = delete;

    // Reads what the file holds and makes it ready for appending: a missing
    // file starts empty; a damaged or foreign one starts a fresh cycle (and
    // says so in `problem`); a torn end is cut off, keeping what came before.
    Loaded Open();

    // A picture was shown. False when it could not be written (see Error()).
    bool Shown(std::uint64_t hash, std::int32_t index);
    // Every picture has been shown: what was shown no longer counts.
    bool NewCycle();
    // Makes everything appended so far durable.
    bool Sync();
    bool Dirty() const { return dirty_; }

    const std::string& Path() const { return path_; }
    // Why the last write failed; empty while none has.
    const std::string& Error() const { return error_; }
    // Bytes handed to the file system since construction, rewrites included.
    std::uint64_t BytesWritten() const { return bytesWritten_; }

    // Records at which a log of records that no longer count is written anew.
    static constexpr std::size_t kRewriteAt = 4096;

private:
    struct Record {
        std::uint64_t hash;
        std::int32_t index;
        std::uint32_t kind;
    };
    bool append(const Record& record);
    bool rewrite(const std::vector<Record>& records);
    bool fail(const std::string& what);
    std::string header() const;
    std::string encode(const Record& record) const;

    std::string path_;
    std::string folder_;
    Order order_;
    std::uint32_t salt_ = 0;
    UniqueFd fd_;
    std::size_t records_ = 0;  // in the file
    std::optional<Record> last_;  // the last picture shown
    bool dirty_ = false;
    std::string error_;
    std::uint64_t bytesWritten_ = 0;
};
