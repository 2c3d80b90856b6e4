#pragma once

// Reading and writing whole files without trusting the name: what is read must
// be a regular file of bounded size, and what is written never goes through a
// name someone else could have planted.

#include <cstddef>
#include <string>

namespace safefile {

// Reads a whole regular file, pipe or FIFO of at most `limit` bytes. A folder,
// device or socket is refused at once; opening a FIFO never waits, and one
// without a writer reads as empty. A bigger file is refused before a byte is
// read, a pipe once it has given more than `limit`; a read error is an error:
// never a short file.
bool ReadBoundedFile(const std::string& path, std::size_t limit, std::string& bytes, std::string& error);

enum class WriteResult { Written, Exists, Failed };

// Writes a new file, mode 0600, under a fresh name (mkstemp) in path's folder,
// syncs it, renames it to `path` and syncs the folder: a failure never leaves
// half a file. A link at `path` is replaced, never written through. Without
// `replace` nothing that exists at `path` (a dangling link included) is touched;
// with it, only a file or a link is replaced, and a file keeps its permissions.
WriteResult WriteFileAtomically(const std::string& path, const std::string& bytes, bool replace,
                                std::string& error);

}  // namespace safefile
