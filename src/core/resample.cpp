#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "core/memory.hpp"
#include "spline/knots.hpp"
#include "velmora/error.hpp"
#include "velmora/path2d.hpp"

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

// The path lengths to sample at, computed on demand: a linspace grid,
// optionally followed by the path's total length.
class Grid {
public:
    Grid(LinspaceGrid base, bool append_total, double total)
        : base_(base), size_(base.size() + (append_total ? 1 : 0)), total_(total) {}

    std::size_t size() const noexcept { return size_; }
    double operator[](std::size_t i) const noexcept { return i < base_.size() ? base_[i] : total_; }

private:
    LinspaceGrid base_;
    std::size_t size_;
    double total_;
};

// bytes_per_entry is what the whole call allocates per grid entry: the
// request is refused before anything of that size exists.
Grid make_grid(const ResamplingMethod& method, double total, double epsilon,
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
        // The saturated maximum wraps to 0, which the grid rejects.
        count = saturating_u64(k) + 1;
        end = d * k;
        append_total = !by_distance.drop_last && std::abs(end - total) > epsilon;
    }
    const std::size_t extra = append_total ? 1 : 0;
    if (count != 0) check_allocation(checked_add(count, extra), bytes_per_entry);
    return Grid(LinspaceGrid(0, count, end), append_total, total);
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
    // x, y and every column are splines over the same keys: one key search
    // per grid entry serves them all.
    const SplineKnots knots(lengths);

    // Per grid entry: the point, the result's x and y, one value per column.
    const std::size_t per_entry = checked_add(
        checked_mul(associated_values_.size(), sizeof(double)), sizeof(Point) + 2 * sizeof(double));
    const Grid grid = make_grid(method, total, epsilon, per_entry);
    const std::size_t size = grid.size();

    std::vector<Point> points;
    std::vector<double> xs;
    std::vector<double> ys;
    points.reserve(size);
    xs.reserve(size);
    ys.reserve(size);
    std::vector<Column> columns(associated_values_.size());
    for (Column& column : columns) column.reserve(size);
    SplineCursor cursor;
    for (std::size_t i = 0; i < size; ++i) {
        // An absent sample counts as 0.0.
        const std::optional<SplinePosition> at = knots.locate(grid[i], kind, cursor);
        const double x = at ? at->value(x_) : 0.0;
        const double y = at ? at->value(y_) : 0.0;
        points.push_back({x, y});
        xs.push_back(x);
        ys.push_back(y);
        for (std::size_t c = 0; c < columns.size(); ++c)
            columns[c].push_back(at ? at->value(associated_values_[c]) : 0.0);
    }
    Path2D result = from_parts(std::move(points), std::move(xs), std::move(ys));
    result.set_associated_values(std::move(columns));
    return result;
}

}  // namespace velmora
