#include "settings/variant.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

std::string doubleText(double d)
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15G", d);
    return buf;
}

std::optional<double> parseNumber(const std::string& s)
{
    std::size_t b = s.find_first_not_of(" \t");
    std::size_t e = s.find_last_not_of(" \t");
    if (b == std::string::npos)
        return std::nullopt;
    std::string t = s.substr(b, e - b + 1);
    // Only plain decimal numbers: no hex, no "inf" or "nan".
    for (char c : t) {
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.' || c == 'e' ||
              c == 'E'))
            return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(d))
        return std::nullopt;
    return d;
}

template <typename Int>
std::optional<Int> toInt(const Variant& v)
{
    auto d = VariantToDouble(v);
    if (!d)
        return std::nullopt;
    double r = std::nearbyint(*d);  // default rounding mode: half to even
    if (r < std::numeric_limits<Int>::min() || r > std::numeric_limits<Int>::max())
        return std::nullopt;
    return static_cast<Int>(r);
}

}  // namespace

std::string VariantText(const Variant& v)
{
    struct Visitor {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(std::int16_t i) const { return std::to_string(i); }
        std::string operator()(std::int32_t i) const { return std::to_string(i); }
        std::string operator()(double d) const { return doubleText(d); }
        std::string operator()(const std::string& s) const { return s; }
        std::string operator()(const ByteArray& b) const { return std::string(b.begin(), b.end()); }
    };
    return std::visit(Visitor{}, v);
}

bool VariantIsEmpty(const Variant& v) { return std::holds_alternative<std::monostate>(v); }

std::optional<double> VariantToDouble(const Variant& v)
{
    if (std::holds_alternative<std::monostate>(v))
        return 0.0;
    if (auto i = std::get_if<std::int16_t>(&v))
        return *i;
    if (auto i = std::get_if<std::int32_t>(&v))
        return *i;
    if (auto d = std::get_if<double>(&v))
        return *d;
    return parseNumber(VariantText(v));
}

std::optional<std::int16_t> VariantToInt16(const Variant& v) { return toInt<std::int16_t>(v); }
std::optional<std::int32_t> VariantToInt32(const Variant& v) { return toInt<std::int32_t>(v); }
