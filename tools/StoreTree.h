#pragma once

#include <string>
#include <vector>

#include "tools/RegFile.h"

namespace storetree {

// Reads one key: its values in the store's order and its sub-key names.
LONG ReadKey(HKEY root, const std::string& path, std::vector<regfile::Value>& values,
             std::vector<std::string>& subKeys);

// Reads a key, named `name` in the result, and with `recursive` every key below
// it, depth first. Fails with ERROR_FILE_NOT_FOUND when the key is missing.
LONG ReadTree(HKEY root, const std::string& path, const std::string& name, bool recursive,
              std::vector<regfile::Key>& out);

}  // namespace storetree
