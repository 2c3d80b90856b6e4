#pragma once

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

// Case-insensitive wildcard match of a file name: "*" any run of characters,
// "?" any one character, letters in any mix of capitals.
bool WildcardMatch(std::string_view name, std::string_view pattern);

// A search pattern may list several patterns separated by ";"; a name that
// matches any of them is taken.
bool MatchesSearch(std::string_view name, std::string_view SearchStr);

// What the search looks for: JPEGs, and with "Also show other picture types"
// set, the other kinds of picture the viewer shows as well.
inline constexpr const char* kPicturePattern = "*.jpg";
inline constexpr const char* kAllPicturesPattern =
    "*.jpg;*.jpeg;*.jpe;*.jfif;*.png;*.webp;*.heic;*.heif;*.avif;*.jxl";

// Folders listed at once by the search. Listing mostly waits on storage (a
// cold disk, a network share), so more threads than cores pay off; see
// FindFiles.
constexpr int kWalkThreads = 16;

// How often the search goes into one folder. Links can lead into a folder
// many times, and two links to the next folder at every level double the ways
// in at every level; past this many searches a folder is counted but not
// searched again. Ordinary link use (a folder shared into a few albums, or
// nested once) stays below it, and however the links run, the walk in turn
// lists each folder at most this many times (the parallel walk twice that):
// time and memory stay proportional to the tree itself.
constexpr int kMaxSearchesPerFolder = 8;

// A folder as the walk found it just before listing it: enough for a watcher
// set up afterwards to tell which folders changed in between.
struct WalkedFolder {
    QByteArray path;  // ends in "/"
    std::uint64_t dev = 0, ino = 0;
    std::int64_t mtimeNs = 0;     // the folder's modification time
    std::int64_t listedAtNs = 0;  // the wall clock (coarse) when it was looked at
};

// The folder search, without a window. Walks `path` depth first: a folder's own
// files matching `SearchStr` (appended to `found` as full paths), then each
// sub-folder in turn; names within a folder in natural order. `path` gets a
// trailing "/" if it has none. FileCount counts the files found, DirCount the
// folders below `path`. Paths are the file system's bytes throughout.
//
// A folder that cannot be listed yields nothing but still counts; an entry
// whose type cannot be read counts as a folder; a folder already on the way
// down (a link cycle) counts but is not searched again; a folder already
// searched kMaxSearchesPerFolder times counts, in DirCount and in NotSearched,
// but is not searched again; FIFOs, devices and sockets are neither listed nor
// opened. While it runs, `progress` (if given) follows FileCount, for a
// display on another thread.
//
// Running out of descriptors or memory is not a folder that cannot be listed:
// the walk throws (std::system_error, std::bad_alloc) and its result is not to
// be used.
//
// Up to `threads` folders are read at once, and the list is put together on
// the calling thread in the order given above: the result is FindFilesInTurn's.
// `folders` (if given) gets each folder searched, in the same order.
void FindFiles(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
               std::int64_t& DirCount, std::int64_t& NotSearched, std::vector<QByteArray>& found,
               std::atomic<std::int64_t>* progress = nullptr, int threads = kWalkThreads,
               std::vector<WalkedFolder>* folders = nullptr);

// The same walk, one folder at a time on the calling thread.
void FindFilesInTurn(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
                     std::int64_t& DirCount, std::int64_t& NotSearched, std::vector<QByteArray>& found,
                     std::atomic<std::int64_t>* progress = nullptr);

// Told, on the walking thread, of the list found so far each time the walk
// has added a folder's files: always the first entries of the final list, in
// its order, so that a show can begin before the walk ends.
using FoundSoFar = std::function<void(const std::vector<QByteArray>& found)>;

// FindFiles with `onFound` told of each addition.
void FindFilesWatched(QByteArray& path, std::string_view SearchStr, std::int64_t& FileCount,
                      std::int64_t& DirCount, std::int64_t& NotSearched, std::vector<QByteArray>& found,
                      FoundSoFar onFound, std::vector<WalkedFolder>* folders = nullptr);

// One folder (ending in "/") as the walk lists it: the names of its files
// matching `SearchStr` and of its sub-folders, each in natural order, and the
// folder as it stood just before. False when it cannot be listed; throws as
// the walk does when descriptors or memory run out.
bool ListFolder(const QByteArray& folder, std::string_view SearchStr, WalkedFolder& self,
                std::vector<QByteArray>& files, std::vector<QByteArray>& subFolders);
