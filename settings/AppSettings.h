#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// The slide-show order, read the same way by every window that starts a show:
// the stored text as a 16-bit number, with optional blanks around a plain
// decimal number ("2", " 2", "02", "1.0", "1e0"). Missing, empty and anything
// else ("0x1", "abc") read 0, which is no order. 1 is progressive, 2 random.
inline constexpr std::int16_t kProgressive = 1;
inline constexpr std::int16_t kIntelligentRandom = 2;
std::int16_t ReadSlideShowType();

// Writes one value as text through a fresh object (REG_SZ, or REG_EXPAND_SZ by
// the percent rule). Raises RegistryError when the store refuses.
void WriteText(const std::string& valueName, const std::string& text);

// Writes several values as text (each as WriteText would) in one store
// transaction: all of them, or when the store refuses, none. Raises
// RegistryError saying why the store refused.
void WriteTexts(const std::vector<std::pair<std::string, std::string>>& namedTexts);

}  // namespace AppSettings
