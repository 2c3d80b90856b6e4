#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The tagged value in which the registry class hands values over.
// Empty converts to "" as text and 0 as a number; numbers to plain decimal text.
using ByteArray = std::vector<std::uint8_t>;
using Variant = std::variant<std::monostate,  // Empty
                             std::int16_t, std::int32_t, double, std::string, ByteArray>;

// Text form: Empty "", integers in decimal, floating point in up to 15 significant
// digits ("1.5", "1E+20"), a byte array as its bytes taken as 8-bit text.
std::string VariantText(const Variant& v);
bool VariantIsEmpty(const Variant& v);

// Number forms. Text is read as a decimal number with optional surrounding
// spaces; anything else ("", "abc", "1x") gives nothing, as does a value out of
// range. Empty is 0. Fractions round half to even.
std::optional<double> VariantToDouble(const Variant& v);
std::optional<std::int16_t> VariantToInt16(const Variant& v);
std::optional<std::int32_t> VariantToInt32(const Variant& v);
