#pragma once

#include <string_view>

// The order a file manager lists names in: letters compared without regard to
// case, runs of digits by their value ("IMG_2" before "IMG_10"). Returns <0, 0
// or >0; names equal in this sense compare 0.
int NaturalCompare(std::string_view a, std::string_view b);

// A strict total order: natural order first, then byte order for names that
// are equal but for case or leading zeros.
inline bool NaturalLess(std::string_view a, std::string_view b)
{
    const int c = NaturalCompare(a, b);
    return c != 0 ? c < 0 : a < b;
}

// Where two paths found below the same folder go in the search's list: a
// folder's own files first, then its sub-folders, each in natural order,
// depth first. A strict total order on distinct paths, so that a picture
// that appears later can be put where a new search would put it.
bool SearchOrderLess(std::string_view a, std::string_view b);
