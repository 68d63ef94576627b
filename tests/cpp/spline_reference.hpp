#pragma once
// The spline as the plain algorithm, the reference the product's shared key
// search is checked against: one key vector per value sequence, sorted and
// guarded by insertion, and a full binary search per sample.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "spline/key_order.hpp"
#include "spline/knots.hpp"
#include "velmora/error.hpp"

namespace velmora::testing {

struct ReferenceKey {
    double t = 0.0;
    double value = 0.0;
};

class ReferenceSpline {
public:
    // One key per index below the shorter length, sorted stably by t, then
    // the guard keys, each after every key whose t is not greater.
    ReferenceSpline(std::span<const double> keys, std::span<const double> values,
                    KeyInterpolation kind)
        : kind_(kind) {
        for (std::size_t i = 0; i < std::min(keys.size(), values.size()); ++i)
            keys_.push_back({keys[i], values[i]});
        std::stable_sort(keys_.begin(), keys_.end(), before);
        if (values.empty()) throw_index_out_of_bounds(0, 0);
        add({-1.0, values.front()});
        if (keys.empty()) throw_unwrap_none();
        const detail::EndGuards guards = detail::end_guards(keys.back());
        add({guards.first, values.back()});
        add({guards.second, values.back()});
    }

    const std::vector<ReferenceKey>& keys() const { return keys_; }

    std::optional<double> sample(double s) const {
        const auto lower = detail::search_lower(
            keys_.size(), [this](std::size_t i) { return keys_[i].t; }, s);
        if (!lower) return std::nullopt;
        const std::size_t i = *lower;
        const std::size_t len = keys_.size();
        if (i + 1 >= len) return std::nullopt;
        const ReferenceKey& a = keys_[i];
        const ReferenceKey& b = keys_[i + 1];
        const double nt = (s - a.t) / (b.t - a.t);
        if (kind_ == KeyInterpolation::Linear) {
            if (nt == 0.0) return a.value;
            return nt * b.value + (1.0 - nt) * a.value;
        }
        if (i == 0 || i >= len - 2) return std::nullopt;
        if (nt == 0.0) return a.value;
        const ReferenceKey& x = keys_[i - 1];
        const ReferenceKey& y = keys_[i + 2];
        const double m0 = ((b.value - x.value) / (b.t - x.t)) * (b.t - a.t);
        const double m1 = ((y.value - a.value) / (y.t - a.t)) * (b.t - a.t);
        const double nt2 = nt * nt;
        const double nt3 = nt2 * nt;
        const double h00 = 2.0 * nt3 - 3.0 * nt2 + 1.0;
        const double h10 = nt3 - 2.0 * nt2 + nt;
        const double h01 = 3.0 * nt2 - 2.0 * nt3;
        const double h11 = nt3 - nt2;
        return ((m0 * h10 + a.value * h00) + b.value * h01) + m1 * h11;
    }

private:
    static bool before(const ReferenceKey& a, const ReferenceKey& b) {
        return detail::t_before(a.t, b.t);
    }
    void add(ReferenceKey key) {
        keys_.insert(std::upper_bound(keys_.begin(), keys_.end(), key, before), key);
    }

    KeyInterpolation kind_;
    std::vector<ReferenceKey> keys_;
};

// count values from start to exactly end, stored.
inline std::vector<double> reference_linspace(std::int32_t start, std::size_t count, double end) {
    const LinspaceGrid grid(start, count, end);
    std::vector<double> values;
    for (std::size_t i = 0; i < count; ++i) values.push_back(grid[i]);
    return values;
}

}  // namespace velmora::testing
