#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <QString>

// What the configuration dialog decides without a window: the delay captions,
// the slide-show descriptions, how stored texts become numbers and how a folder
// path becomes its display name.

// "Delay:  ..." for slider positions 1 to 7; nullptr for any other position.
const char* DelayCaption(std::int32_t position);

inline constexpr std::int32_t kFirstDelayCode = 1;
inline constexpr std::int32_t kLastDelayCode = 7;

extern const char* const kProgressiveDescription;
extern const char* const kIntelligentRandomDescription;

// A stored text taken as a floating-point number: surrounding blanks are
// allowed, anything else that is not part of the number makes it fail.
std::optional<double> TextToDouble(const std::string& text);

// A stored text taken as a 32-bit integer: as TextToDouble, then rounded half
// to even; fails outside the 32-bit range.
std::optional<std::int32_t> TextToLong(const std::string& text);

// Progressive is shown unless the stored type is a number other than 1;
// a text that is not a number keeps Progressive.
bool ShowsProgressive(const std::string& storedType);

// The slider position a stored delay code gives, or nothing when the text is
// not a number or names no position of the slider.
std::optional<std::int32_t> SliderPositionFromText(const std::string& storedDelay);

// The part of a path after its last "/", or the whole text when it has none:
// "/home/me/Summer 2005" gives "Summer 2005", "/" gives "".
QString LastPathComponent(const QString& path);
