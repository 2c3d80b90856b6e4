#pragma once

#include <string>

// A per-user base folder in the XDG manner: the environment variable when it
// holds an absolute path, else `underHome` below the home folder (HOME, or
// the password database's entry). No trailing "/".
std::string UserBaseFolder(const char* variable, const char* underHome);
