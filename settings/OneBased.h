#pragma once

#include <cstddef>
#include <stdexcept>
#include <vector>

// An array whose elements are numbered from 1 to Count(), as the enumeration
// members hand them out: element 0 does not exist, so a name can only be reached
// by the number the count gives it. Range-for visits elements 1 to Count().
template <typename T>
class OneBased {
public:
    std::size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    static constexpr std::size_t LBound() { return 1; }
    std::size_t UBound() const { return items_.size(); }

    // Checked access; index 0 or past the end throws std::out_of_range.
    const T& operator[](std::size_t i) const { return items_.at(check(i) - 1); }
    T& operator[](std::size_t i) { return items_.at(check(i) - 1); }

    void Clear() { items_.clear(); }
    void Append(T v) { items_.push_back(std::move(v)); }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    const std::vector<T>& Items() const { return items_; }

private:
    static std::size_t check(std::size_t i)
    {
        if (i == 0)
            throw std::out_of_range("element 0 of a 1-based array");
        return i;
    }
    std::vector<T> items_;
};
