#pragma once

#include <string_view>

// A name delivered in a fixed-size name field: the part before the first NUL,
// or the whole field when it holds none.
inline std::string_view TrimAtNull(std::string_view field)
{
    const auto nul = field.find('\0');
    return nul == std::string_view::npos ? field : field.substr(0, nul);
}
