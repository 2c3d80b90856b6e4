#include "app/NaturalOrder.h"

#include <algorithm>

#include "settings/Text.h"

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Only ASCII letters are folded: the names are bytes in whatever encoding
// the files were written in.
unsigned char fold(char c) { return static_cast<unsigned char>(AsciiLower(c)); }

// End of the run of digits starting at i.
std::size_t digitsEnd(std::string_view s, std::size_t i)
{
    while (i < s.size() && isDigit(s[i]))
        ++i;
    return i;
}

std::size_t skipZeros(std::string_view s, std::size_t i, std::size_t end)
{
    while (i + 1 < end && s[i] == '0')
        ++i;
    return i;
}
}  // namespace

int NaturalCompare(std::string_view a, std::string_view b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == b[j] && !isDigit(a[i])) {  // the common case, cheaply
            ++i;
            ++j;
            continue;
        }
        if (isDigit(a[i]) && isDigit(b[j])) {
            const std::size_t ea = digitsEnd(a, i), eb = digitsEnd(b, j);
            const std::size_t sa = skipZeros(a, i, ea), sb = skipZeros(b, j, eb);
            // Without leading zeros, the longer run is the larger number.
            if (ea - sa != eb - sb)
                return ea - sa < eb - sb ? -1 : 1;
            if (const int c = a.substr(sa, ea - sa).compare(b.substr(sb, eb - sb)); c != 0)
                return c < 0 ? -1 : 1;
            i = ea;
            j = eb;
            continue;
        }
        const unsigned char ca = fold(a[i]), cb = fold(b[j]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    const bool aLeft = i < a.size(), bLeft = j < b.size();
    return aLeft == bLeft ? 0 : (aLeft ? 1 : -1);
}

bool SearchOrderLess(std::string_view a, std::string_view b)
{
    // Paths below one folder share most of their bytes: the components
    // before the one they differ in are the same folders.
    const std::size_t same = static_cast<std::size_t>(
        std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(std::min(a.size(), b.size())), b.begin()).first
        - a.begin());
    const std::size_t slash = same == 0 ? std::string_view::npos : a.rfind('/', same - 1);
    std::size_t i = slash == std::string_view::npos ? 0 : slash + 1, j = i;
    for (;;) {
        const std::size_t endA = a.find('/', i), endB = b.find('/', j);
        const bool fileA = endA == std::string_view::npos, fileB = endB == std::string_view::npos;
        const std::string_view nameA = a.substr(i, fileA ? std::string_view::npos : endA - i);
        const std::string_view nameB = b.substr(j, fileB ? std::string_view::npos : endB - j);
        // Where the paths part, a file of the folder comes before its sub-folders.
        if (fileA != fileB)
            return fileA;
        if (nameA != nameB)
            return NaturalLess(nameA, nameB);
        if (fileA)
            return false;  // the same path
        i = endA + 1;
        j = endB + 1;
    }
}
