#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "settings/cRegistry.h"

// The program's settings: text values under HKEY_CURRENT_USER\Software\Marbleglen.
// Read at the moment of use through a fresh registry object; never cached.
namespace AppSettings {

inline constexpr const char* kSectionKey = "Software\\Marbleglen";

// What a setting holds. All are stored as text; the slide-show order is read
// as a number (ReadSlideShowType), a switch as on for "1" only (ReadSwitch),
// the rest as the text itself (ReadText).
enum class Holds { FolderPath, FolderName, SlideShowOrder, DelayCode, Switch };

struct Setting {
    const char* name;  // the value's name under the key
    Holds holds;
};

// Every stored setting, one row each, in the order the dialog saves them;
// nothing else in the program spells a name.
inline constexpr std::array<Setting, 11> kSettings = {{
    {"varImagePath1", Holds::FolderPath},
    {"varImagePath2", Holds::FolderPath},
    {"varImagePath3", Holds::FolderPath},
    {"varImagePath4", Holds::FolderPath},
    {"txtImageCaption1", Holds::FolderName},
    {"txtImageCaption2", Holds::FolderName},
    {"txtImageCaption3", Holds::FolderName},
    {"txtImageCaption4", Holds::FolderName},
    {"varSlideShowType", Holds::SlideShowOrder},
    {"varSlideShowDelayTime", Holds::DelayCode},
    // Off unless set: the search then collects more than JPEGs.
    {"varOtherPictureTypes", Holds::Switch},
}};

// The search folders' paths and display names, folder 1 to 4.
constexpr const Setting& ImagePath(int folder) { return kSettings[static_cast<std::size_t>(folder - 1)]; }
constexpr const Setting& ImageCaption(int folder) { return kSettings[static_cast<std::size_t>(folder + 3)]; }
inline constexpr const Setting& kSlideShowType = kSettings[8];
inline constexpr const Setting& kSlideShowDelayTime = kSettings[9];
inline constexpr const Setting& kOtherPictureTypes = kSettings[10];

// A fresh registry object set up as every settings site sets it up:
// ClassKey HKEY_CURRENT_USER, SectionKey "Software\Marbleglen", ValueType 1.
cRegistry Open();

// Reads one value as text through a fresh object ("" when missing).
std::string ReadText(const std::string& valueName);
inline std::string ReadText(const Setting& setting) { return ReadText(setting.name); }

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

// A switch: on when the stored text is "1"; missing or anything else is off.
bool ReadSwitch(const Setting& setting);

// Writes one value as text through a fresh object (REG_SZ, or REG_EXPAND_SZ by
// the percent rule). Raises RegistryError when the store refuses.
void WriteText(const std::string& valueName, const std::string& text);
inline void WriteText(const Setting& setting, const std::string& text) { WriteText(setting.name, text); }

// Writes several values as text (each as WriteText would) in one store
// transaction: all of them, or when the store refuses, none. Raises
// RegistryError saying why the store refused.
void WriteTexts(const std::vector<std::pair<std::string, std::string>>& namedTexts);

}  // namespace AppSettings
