#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

// The tagged value in which the registry class hands values over.
// Empty converts to "" as text and 0 as a number; numbers to plain decimal text.
using ByteArray = std::vector<std::uint8_t>;
using Variant = std::variant<std::monostate,  // Empty
                             std::int16_t, std::int32_t, double, std::string, ByteArray>;

std::string VariantText(const Variant& v);
bool VariantIsEmpty(const Variant& v);
