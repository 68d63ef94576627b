#include "velmora/spline.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "spline/key_order.hpp"
#include "velmora/error.hpp"

namespace velmora {

namespace {

bool key_before(const SplineKey& a, const SplineKey& b) { return detail::t_before(a.t, b.t); }


}  // namespace

Spline Spline::from_keys(std::vector<SplineKey> keys) {
    // Keys usually arrive sorted; the check spares the sort's buffer.
    if (!std::is_sorted(keys.begin(), keys.end(), key_before))
        std::stable_sort(keys.begin(), keys.end(), key_before);
    Spline spline;
    spline.keys_ = std::move(keys);
    return spline;
}

void Spline::add(SplineKey key) {
    const auto at = std::upper_bound(keys_.begin(), keys_.end(), key, key_before);
    keys_.insert(at, key);
}

std::optional<std::size_t> Spline::search_lower(double s) const {
    return detail::search_lower(keys_.size(), [this](std::size_t i) { return keys_[i].t; }, s);
}

std::optional<SplineSample> Spline::interpolate(std::size_t i, double s) const {
    const std::size_t len = keys_.size();
    if (i + 1 >= len) return std::nullopt;
    const SplineKey& a = keys_[i];
    const SplineKey& b = keys_[i + 1];
    const double nt = (s - a.t) / (b.t - a.t);
    switch (a.interpolation) {
        case KeyInterpolation::Linear:
            return SplineSample{nt * b.value + (1.0 - nt) * a.value, i};
        case KeyInterpolation::CatmullRom: {
            if (i == 0 || i >= len - 2) return std::nullopt;
            const SplineKey& x = keys_[i - 1];
            const SplineKey& y = keys_[i + 2];
            // Tangents scaled to the current segment, so uneven key spacing is honoured.
            const double m0 = ((b.value - x.value) / (b.t - x.t)) * (b.t - a.t);
            const double m1 = ((y.value - a.value) / (y.t - a.t)) * (b.t - a.t);
            const double nt2 = nt * nt;
            const double nt3 = nt2 * nt;
            const double h00 = 2.0 * nt3 - 3.0 * nt2 + 1.0;
            const double h10 = nt3 - 2.0 * nt2 + nt;
            const double h01 = 3.0 * nt2 - 2.0 * nt3;
            const double h11 = nt3 - nt2;
            return SplineSample{((m0 * h10 + a.value * h00) + b.value * h01) + m1 * h11, i};
        }
    }
    return std::nullopt;
}

std::optional<SplineSample> Spline::sample_with_key(double s) const {
    if (keys_.size() < 2) return std::nullopt;
    const std::optional<std::size_t> lower = search_lower(s);
    if (!lower) return std::nullopt;
    return interpolate(*lower, s);
}

}  // namespace velmora
