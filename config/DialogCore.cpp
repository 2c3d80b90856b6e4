#include "config/DialogCore.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace {
constexpr std::array<const char*, 7> kDelayCaptions = {
    "Delay:  Half a Second",  "Delay:  One Second",  "Delay:  Two Seconds",
    "Delay:  Three Seconds",  "Delay:  Five Seconds", "Delay:  Ten Seconds",
    "Delay:  Fifteen Seconds",
};

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
}  // namespace

const char* const kProgressiveDescription =
    "Progressive Slide Show displays images in sequential order.";
const char* const kIntelligentRandomDescription =
    "Intelligent Random Slide Show uses an algorithm to display images in a random order "
    "without repeating images in a single image list cycle.";

const char* DelayCaption(std::int32_t position)
{
    if (position < kFirstDelayCode || position > kLastDelayCode)
        return nullptr;
    return kDelayCaptions[static_cast<std::size_t>(position - kFirstDelayCode)];
}

std::optional<double> TextToDouble(const std::string& text)
{
    const char* first = text.data();
    const char* last = text.data() + text.size();
    while (first != last && IsBlank(*first))
        ++first;
    while (last != first && IsBlank(last[-1]))
        --last;
    bool negative = false;
    if (first != last && (*first == '+' || *first == '-')) {
        negative = *first == '-';
        ++first;
    }
    // from_chars takes no sign of its own before digits we already stripped,
    // and would accept "inf" and "nan", which are no numbers here.
    if (first == last || !(std::isdigit(static_cast<unsigned char>(*first)) || *first == '.'))
        return std::nullopt;
    double value = 0;
    auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ec != std::errc() || end != last || !std::isfinite(value))
        return std::nullopt;
    return negative ? -value : value;
}

std::optional<std::int32_t> TextToLong(const std::string& text)
{
    std::optional<double> value = TextToDouble(text);
    if (!value)
        return std::nullopt;
    // nearbyint rounds half to even in the default rounding mode.
    double rounded = std::nearbyint(*value);
    if (rounded < std::numeric_limits<std::int32_t>::min() ||
        rounded > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(rounded);
}

bool ShowsProgressive(const std::string& storedType)
{
    std::optional<double> value = TextToDouble(storedType);
    return !value || *value == 1.0;
}

std::optional<std::int32_t> SliderPositionFromText(const std::string& storedDelay)
{
    std::optional<std::int32_t> code = TextToLong(storedDelay);
    if (!code || *code < kFirstDelayCode || *code > kLastDelayCode)
        return std::nullopt;
    return code;
}

QString LastPathComponent(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}
