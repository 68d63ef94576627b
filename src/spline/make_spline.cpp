#include "velmora/error.hpp"
#include "velmora/spline.hpp"

#include <algorithm>

namespace velmora {

Spline make_spline(std::span<const double> keys, std::span<const double> values,
                   KeyInterpolation interpolation) {
    const std::size_t n = std::min(keys.size(), values.size());
    std::vector<SplineKey> initial;
    initial.reserve(n + 3);
    for (std::size_t i = 0; i < n; ++i) initial.push_back({keys[i], values[i], interpolation});
    Spline spline = Spline::from_keys(std::move(initial));

    // Guard keys: one before the start and two past the end, repeating the end
    // values, give every parameter of the path the neighbours Catmull-Rom needs.
    if (values.empty()) throw_index_out_of_bounds(0, 0);
    spline.add({-1.0, values.front(), interpolation});
    if (keys.empty()) throw_unwrap_none();
    spline.add({keys.back() + 0.01, values.back(), interpolation});
    spline.add({keys.back() + 0.02, values.back(), interpolation});
    return spline;
}

}  // namespace velmora
