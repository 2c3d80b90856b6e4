#pragma once

#include <optional>
#include <string_view>

// The slide-show delay: the stored code "1" to "7" gives the interval of both
// step timers in milliseconds. Codes are compared exactly as text, so " 1",
// "01" or "8" are no code at all and leave the timers as they are.
std::optional<int> DelayInterval(std::string_view code);
