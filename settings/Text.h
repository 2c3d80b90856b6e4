#pragma once

#include <cstddef>
#include <string_view>

// Byte-level text helpers for names that are bytes in whatever encoding they
// were written in. Only ASCII letters are folded.

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }
constexpr char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c; }

constexpr bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

// The UTF-8 sequence at p, of at most n bytes: its length, with its code point
// in cp; 0 when it is not valid UTF-8 (a stray byte, a cut sequence, an
// overlong form, a surrogate or a value past Unicode).
constexpr int DecodeUtf8(const unsigned char* p, std::size_t n, char32_t& cp)
{
    if (n == 0)
        return 0;
    const unsigned char b = p[0];
    int len = 0;
    char32_t min = 0;
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    if ((b & 0xE0) == 0xC0) {
        len = 2;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n < static_cast<std::size_t>(len))
        return 0;
    char32_t value = b & (0x7F >> len);
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    cp = value;
    return len;
}

// Whether every byte of s belongs to a valid UTF-8 sequence.
inline bool IsUtf8(std::string_view s)
{
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const int len = DecodeUtf8(p + i, s.size() - i, cp);
        if (len == 0)
            return false;
        i += static_cast<std::size_t>(len);
    }
    return true;
}
