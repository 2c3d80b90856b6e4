#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// The figures every benchmark prints for a set of timings.
struct Spread {
    double min = 0, median = 0, max = 0;
};

inline double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

inline Spread spreadOf(const std::vector<double>& v)
{
    if (v.empty())
        return {};
    return {*std::min_element(v.begin(), v.end()), median(v), *std::max_element(v.begin(), v.end())};
}
