#pragma once
// The small value types that select how an operation works.

#include <cstddef>
#include <variant>

namespace velmora {

/// Interpolation of resampling. The values are the Python integer values.
enum class InterpolationMethod : int { Cubic = 0, Linear = 1 };

/// How elastic band smoothing bounds the deviation from the input path.
enum class ElasticBandMethod : int { SquareBounds = 0, OrthogonalBounds = 1 };

/// A fixed number of points, evenly spaced from length 0 to the total length.
struct ByNumberPoints {
    std::size_t number_points = 0;
};

/// One point every sampling_distance; with drop_last false the path's end is
/// appended when the grid does not already reach it.
struct BySamplingDistance {
    double sampling_distance = 0.0;
    bool drop_last = true;
};

using ResamplingMethod = std::variant<ByNumberPoints, BySamplingDistance>;

}  // namespace velmora
