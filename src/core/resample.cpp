#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "velmora/error.hpp"
#include "velmora/memory.hpp"
#include "velmora/path2d.hpp"
#include "velmora/spline.hpp"

namespace velmora {

namespace {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "grid sizes are 64-bit counts");

// Float to u64 with saturation: NaN and negatives give 0, 2^64 and above the maximum.
std::uint64_t saturating_u64(double k) {
    if (!(k > 0.0)) return 0;
    if (k >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(k);
}

std::size_t checked_add(std::size_t a, std::size_t b) {
    if (a > std::numeric_limits<std::size_t>::max() - b) throw std::bad_alloc();
    return a + b;
}

// Path lengths to sample at. bytes_per_entry is what the whole call allocates
// per grid entry: the request is refused before anything of that size exists.
std::vector<double> make_grid(const ResamplingMethod& method, double total, double epsilon,
                              std::size_t bytes_per_entry) {
    std::size_t count = 0;
    double end = total;
    bool append_total = false;
    if (const auto* by_number = std::get_if<ByNumberPoints>(&method)) {
        count = by_number->number_points;
    } else {
        const auto& by_distance = std::get<BySamplingDistance>(method);
        const double d = by_distance.sampling_distance;
        const double k = std::floor(total / d);
        // The saturated maximum wraps to 0, which linspace rejects.
        count = saturating_u64(k) + 1;
        end = d * k;
        append_total = !by_distance.drop_last && std::abs(end - total) > epsilon;
    }
    const std::size_t extra = append_total ? 1 : 0;
    if (count != 0) check_allocation(checked_add(count, extra), bytes_per_entry);
    std::vector<double> grid = linspace(0, count, end, extra);
    if (append_total) grid.push_back(total);
    return grid;
}

double sample_or_zero(const Spline& spline, double s, SplineCursor& cursor) {
    const std::optional<SplineSample> sample = spline.sample_with_key(s, cursor);
    return sample ? sample->value : 0.0;
}

}  // namespace

Path2D Path2D::resampled_path(const ResamplingMethod& method, InterpolationMethod interpolation,
                              double epsilon) const {
    if (points_.size() < 2) return *this;

    const KeyInterpolation kind = interpolation == InterpolationMethod::Cubic
                                      ? KeyInterpolation::CatmullRom
                                      : KeyInterpolation::Linear;
    const std::vector<double>& lengths = path_length_per_point();
    const double total = lengths.back();
    const Spline spline_x = make_spline(lengths, x_, kind);
    const Spline spline_y = make_spline(lengths, y_, kind);

    // Per grid entry: the grid itself, the point, the result's x and y, one value per column.
    const std::size_t per_entry = checked_add(
        checked_mul(associated_values_.size(), sizeof(double)),
        sizeof(double) + sizeof(Point) + 2 * sizeof(double));
    const std::vector<double> grid = make_grid(method, total, epsilon, per_entry);

    std::vector<Point> points;
    points.reserve(grid.size());
    SplineCursor cursor_x;
    SplineCursor cursor_y;
    for (const double s : grid)
        points.push_back({sample_or_zero(spline_x, s, cursor_x), sample_or_zero(spline_y, s, cursor_y)});
    Path2D result = from_points(std::move(points));

    std::vector<Column> columns;
    columns.reserve(associated_values_.size());
    for (const Column& source : associated_values_) {
        const Spline spline = make_spline(lengths, source, kind);
        Column column;
        column.reserve(grid.size());
        SplineCursor cursor;
        for (const double s : grid) column.push_back(sample_or_zero(spline, s, cursor));
        columns.push_back(std::move(column));
    }
    result.set_associated_values(std::move(columns));
    return result;
}

}  // namespace velmora
