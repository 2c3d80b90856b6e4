#include "config/DialogCore.h"

#include <array>

#include "settings/variant.h"

namespace {
constexpr std::array<const char*, 7> kDelayCaptions = {
    "Delay:  Half a Second",  "Delay:  One Second",  "Delay:  Two Seconds",
    "Delay:  Three Seconds",  "Delay:  Five Seconds", "Delay:  Ten Seconds",
    "Delay:  Fifteen Seconds",
};
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

bool ShowsProgressive(const std::string& storedType)
{
    // Taken as text first: a missing type is "", which is no number.
    std::optional<double> value = VariantToDouble(Variant(storedType));
    return !value || *value == 1.0;
}

std::optional<std::int32_t> SliderPositionFromText(const std::string& storedDelay)
{
    std::optional<std::int32_t> code = VariantToInt32(Variant(storedDelay));
    if (!code || *code < kFirstDelayCode || *code > kLastDelayCode)
        return std::nullopt;
    return code;
}

QString LastPathComponent(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}
