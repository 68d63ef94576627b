#include <algorithm>
#include <cmath>
#include <numeric>

#include "spline/key_order.hpp"
#include "spline/knots.hpp"
#include "velmora/error.hpp"

namespace velmora {

namespace {

// Keys that stay in their order with the -1 guard in front and the end guards
// behind: ascending, NaN-free and above -1.
bool keeps_order(std::span<const double> keys) {
    if (!(keys[0] > -1.0)) return false;
    // A NaN fails the comparison too.
    for (std::size_t i = 1; i < keys.size(); ++i)
        if (!(keys[i - 1] <= keys[i])) return false;
    return true;
}

}  // namespace

namespace detail {

std::size_t count_from(const double* t, std::size_t size, double s, std::size_t hint) noexcept {
    const auto above = [s](double value, double key) { return value < key; };
    if (hint > 0 && !(t[hint - 1] <= s))
        return static_cast<std::size_t>(std::upper_bound(t, t + hint, s, above) - t);
    // Everything before hint is <= s: gallop to a bracket, then bisect it.
    std::size_t lo = hint;
    std::size_t step = 1;
    while (step <= size - lo && t[lo + step - 1] <= s) {
        lo += step;
        step *= 2;
    }
    const std::size_t hi = std::min(size, lo + step - 1);
    return static_cast<std::size_t>(std::upper_bound(t + lo, t + hi, s, above) - t);
}

}  // namespace detail

LinspaceGrid::LinspaceGrid(std::int32_t start, std::size_t count, double end)
    : start_(static_cast<double>(start)), end_(end), count_(count) {
    if (count == 0) throw_index_out_of_bounds(0, 0);
    // The last entry is end itself, not start + (count - 1) * step.
    if (count >= 3) step_ = (end - start_) / (static_cast<double>(count) - 1.0);
}

SplineKnots::SplineKnots(std::span<const double> keys) : keys_(keys), n_(keys.size()) {
    if (keys.empty()) throw_unwrap_none();
    const detail::EndGuards guards = detail::end_guards(keys.back());
    if (keeps_order(keys)) {
        end_guard_1_ = guards.first;
        end_guard_2_ = guards.second;
        return;
    }

    // A stable sort, then each guard placed after every key whose t is not greater.
    in_place_ = false;
    std::vector<std::size_t> order(n_);
    order.reserve(n_ + 3);
    std::iota(order.begin(), order.end(), std::size_t{0});
    const auto by_t = [keys](std::size_t a, std::size_t b) {
        return detail::t_before(keys[a], keys[b]);
    };
    if (!std::is_sorted(order.begin(), order.end(), by_t))
        std::stable_sort(order.begin(), order.end(), by_t);
    t_.reserve(n_ + 3);
    for (const std::size_t i : order) t_.push_back(keys[i]);
    source_ = std::move(order);
    const auto add = [this](double t, std::size_t source) {
        const auto at = std::upper_bound(t_.begin(), t_.end(), t, detail::t_before);
        source_.insert(source_.begin() + (at - t_.begin()), source);
        t_.insert(at, t);
    };
    add(-1.0, 0);
    add(guards.first, SplinePosition::last_value);
    add(guards.second, SplinePosition::last_value);
    has_nan_ = std::any_of(t_.begin(), t_.end(), [](double t) { return std::isnan(t); });
}

std::size_t SplineKnots::copied_lower_index(double s, SplineCursor& cursor) const {
    const std::size_t size = t_.size();
    if (has_nan_) {
        const auto lower = detail::search_lower(
            size, [this](std::size_t i) { return t_[i]; }, s);
        return lower ? *lower : no_key;
    }
    if (std::isnan(s)) throw_unwrap_none();
    const std::size_t c =
        detail::count_at_or_below(t_.data(), size, s, cursor.valid_ ? cursor.lower_ : 0);
    cursor.lower_ = c;
    cursor.valid_ = true;
    return c - 1;  // no_key for a count of 0
}

}  // namespace velmora
