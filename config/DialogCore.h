#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <QString>

// What the configuration dialog decides without a window: the delay captions,
// the slide-show descriptions, what a stored type or delay shows, and how a folder
// path becomes its display name.

// "Delay:  ..." for slider positions 1 to 7; nullptr for any other position.
const char* DelayCaption(std::int32_t position);

inline constexpr std::int32_t kFirstDelayCode = 1;
inline constexpr std::int32_t kLastDelayCode = 7;

extern const char* const kProgressiveDescription;
extern const char* const kIntelligentRandomDescription;

// Progressive is shown unless the stored type is a number other than 1;
// a text that is not a number keeps Progressive.
bool ShowsProgressive(const std::string& storedType);

// The slider position a stored delay code gives, or nothing when the text is
// not a number or names no position of the slider.
std::optional<std::int32_t> SliderPositionFromText(const std::string& storedDelay);

// The part of a path after its last "/", or the whole text when it has none:
// "/home/me/Summer 2005" gives "Summer 2005", "/" gives "".
QString LastPathComponent(const QString& path);
