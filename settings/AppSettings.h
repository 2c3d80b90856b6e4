#pragma once

#include <cstdint>
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

// Reads one value as a 16-bit number through a fresh object: missing reads 0,
// and so does text that is not a number (only an outside edit can store one),
// which matches no slide-show type.
std::int16_t ReadInt16(const std::string& valueName);

// Writes one value as text through a fresh object (REG_SZ, or REG_EXPAND_SZ by
// the percent rule). Raises RegistryError when the store refuses.
void WriteText(const std::string& valueName, const std::string& text);

}  // namespace AppSettings
