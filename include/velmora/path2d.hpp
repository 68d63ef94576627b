#pragma once
// Path2D: a planar polyline with lazily computed per-point properties and
// caller-attached per-point value columns ("associated values").

#include <cstddef>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "velmora/lazy_cache.hpp"
#include "velmora/operation_options.hpp"
#include "velmora/point.hpp"
#include "velmora/qp/solver_error.hpp"

namespace velmora {

/// The located position of a query point on a path.
struct Projection {
    std::size_t index = 0;  ///< start of the segment (0 or n-1 when snapped)
    Point point;            ///< projected point on the path
    double fraction = 0.0;  ///< position on the segment, 0 <= fraction < 1
    double distance = 0.0;  ///< distance from the query to the projected point
};

/// One arc of the circle decomposition: points [start, end) with curvature 1/r
/// (0.0 for fewer than three points).
struct Segment {
    std::size_t start = 0;
    std::size_t end = 0;
    double curvature = 0.0;

    friend bool operator==(const Segment&, const Segment&) = default;
};

/// Const member functions may be called from several threads at once; the
/// lazily computed properties are filled safely. Mutations need exclusive access.
/// Outcomes are reported as velmora/error.hpp describes: results that may be
/// absent in the return value, broken preconditions as velmora::Error.
class Path2D {
public:
    using Column = std::vector<double>;
    template <class T>
    using Cache = LazyCache<std::vector<T>>;

    /// x and y are taken from the points; caches empty, no columns.
    [[nodiscard]] static Path2D from_points(std::vector<Point> points);
    /// Points pair x[i] with y[i] below the shorter length; x and y are kept as given.
    [[nodiscard]] static Path2D from_coordinates(std::vector<double> x, std::vector<double> y);
    /// The path from_points builds, from coordinates stored as x0, y0, x1, y1,
    /// ... (an (n, 2) array of doubles) in one pass. Throws InvalidArgumentError
    /// for an odd count.
    [[nodiscard]] static Path2D from_interleaved(std::span<const double> xy);

    const std::vector<Point>& points() const noexcept { return points_; }
    const std::vector<double>& x() const noexcept { return x_; }
    const std::vector<double>& y() const noexcept { return y_; }
    std::size_t size() const noexcept { return points_.size(); }

    // Lazily computed properties: filled on first request, never recomputed.
    const std::vector<double>& path_length_per_point() const;
    const std::vector<double>& orientation() const;
    const std::vector<Point>& unit_tangent_vector() const;
    const std::vector<double>& curvature() const;
    /// Last cumulative length, or 0.0 for a path without points.
    double length() const;

    // Cache states, for the text form (empty optional = not yet computed).
    const Cache<double>& path_length_cache() const noexcept { return path_length_per_point_; }
    const Cache<double>& orientation_cache() const noexcept { return orientation_; }
    const Cache<Point>& unit_tangent_cache() const noexcept { return unit_tangent_vector_; }
    const Cache<double>& curvature_cache() const noexcept { return curvature_; }

    // Associated values.
    const std::vector<Column>& associated_values() const noexcept { return associated_values_; }
    /// The column for a handle, or nullptr when there is none.
    const Column* associated_column(std::size_t handle) const noexcept;
    /// Appends a column of one value per point and returns its handle. Throws
    /// InvalidArgumentError for a column of another length, leaving the path
    /// unchanged.
    std::size_t add_associated_values(Column values);

    /// Removes the entries at the given strictly ascending indices, each below
    /// size(), from points, x, y and every column in one linear compaction,
    /// and empties all caches. Throws IndexError for an index past the end and
    /// InvalidArgumentError for indices out of order, leaving the path unchanged.
    void remove_points(const std::vector<std::size_t>& ascending_indices);

    // Operations (each in its own source file).
    [[nodiscard]] std::optional<Projection> nearest_projection(Point query, double epsilon) const;
    [[nodiscard]] std::optional<std::size_t> index_from_point(Point query, double epsilon) const;
    [[nodiscard]] std::optional<double> path_length_from_point(Point query, double epsilon) const;
    [[nodiscard]] std::optional<Path2D> sub_path(std::optional<Point> start,
                                                 std::optional<Point> end, double epsilon) const;
    [[nodiscard]] Path2D resampled_path(const ResamplingMethod& method,
                                        InterpolationMethod interpolation, double epsilon) const;
    /// The smoothed path, or why there is none: infeasible bounds, a solve
    /// that did not succeed, or data the solver would have changed.
    [[nodiscard]] std::variant<Path2D, qp::SolverError> smoothed_path_elastic_band(
        double max_deviation, ElasticBandMethod method) const;
    [[nodiscard]] Path2D smoothed_path_chaikin(std::size_t num_iterations) const;
    std::vector<Segment> find_circle_segments(std::size_t start, std::size_t end,
                                              double max_rmse) const;
    std::vector<double> compute_circle_fit_curvature(double max_rmse) const;
    std::vector<std::size_t> detect_corrupted_point_order(double sus_angle) const;
    Path2D repair_corrupted_point_order(double sus_angle) const;

private:
    // A result path of operations that produce the coordinates in the same
    // pass as the points: as many x and y as points, x[i] and y[i] the
    // coordinates of points[i].
    static Path2D from_parts(std::vector<Point> points, std::vector<double> x,
                             std::vector<double> y);
    // Columns of results, one value per point each.
    void set_associated_values(std::vector<Column> columns) {
        associated_values_ = std::move(columns);
    }

    std::vector<Point> points_;
    std::vector<double> x_;
    std::vector<double> y_;
    Cache<double> path_length_per_point_;
    Cache<double> orientation_;
    Cache<Point> unit_tangent_vector_;
    Cache<double> curvature_;
    std::vector<Column> associated_values_;
};

/// First difference with unit spacing: one-sided at the ends, central inside.
[[nodiscard]] std::vector<double> compute_differences(const std::vector<double>& values);

}  // namespace velmora
