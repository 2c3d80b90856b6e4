#pragma once

#include <string>

// The folder a path names its file in: "." for a bare name, "/" for a name at the top.
std::string ParentFolder(const std::string& path);

// Syncs a folder, so that names just created or renamed in it outlive a crash.
// False (errno set) when the sync fails; a file system that cannot sync folders
// at all (EINVAL) is no failure.
bool SyncFolder(const std::string& folder);
