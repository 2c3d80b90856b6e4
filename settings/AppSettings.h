#pragma once

#include <string>

#include "settings/cRegistry.h"

// The program's settings: ten text values under HKEY_CURRENT_USER\Software\Marbleglen.
// Read at the moment of use through a fresh registry object; never cached.
namespace AppSettings {

inline constexpr const char* kSectionKey = "Software\\Marbleglen";

// A fresh registry object set up as every settings site sets it up:
// ClassKey HKEY_CURRENT_USER, SectionKey "Software\Marbleglen", ValueType 1.
cRegistry Open();

// Reads one value as text through a fresh object ("" when missing).
std::string ReadText(const std::string& valueName);

}  // namespace AppSettings
