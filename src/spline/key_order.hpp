#pragma once
// Key order, and the plain binary search that SplineKnots uses for keys
// holding a NaN: whether a search fails depends on whether it meets the NaN,
// so the probe sequence is part of the result.

#include <cmath>
#include <cstddef>
#include <optional>

#include "velmora/error.hpp"

namespace velmora::detail {

// A strict weak order on t that puts NaN after every number, so that sorting
// stays well defined (and a path's NaN tail stays where it is).
inline bool t_before(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// The last index i < size with t_at(i) <= s, by binary search over keys sorted
// by t_before. Every comparison involving a NaN is an error, wherever the
// search meets it, so the probe sequence is part of the result.
template <class TAt>
std::optional<std::size_t> search_lower(std::size_t size, const TAt& t_at, double s) {
    const auto at_or_below = [&t_at, s](std::size_t i) {
        const double t = t_at(i);
        if (std::isnan(t) || std::isnan(s)) throw_unwrap_none();
        return t <= s;
    };
    if (size == 0) return std::nullopt;
    std::size_t base = 0;
    while (size > 1) {
        const std::size_t half = size / 2;
        if (at_or_below(base + half)) base += half;
        size -= half;
    }
    if (at_or_below(base)) return base;
    return std::nullopt;
}

}  // namespace velmora::detail
