#include "viewer/DelayTable.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<std::string_view, int>, 7> kDelays{{
    {"1", 500},
    {"2", 1000},
    {"3", 2000},
    {"4", 3000},
    {"5", 5000},
    {"6", 10000},
    {"7", 15000},
}};
}  // namespace

std::optional<int> DelayInterval(std::string_view code)
{
    for (const auto& [text, milliseconds] : kDelays)
        if (code == text)
            return milliseconds;
    return std::nullopt;
}
