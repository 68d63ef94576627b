#include <cmath>
#include <utility>

#include "velmora/path2d.hpp"

namespace velmora {

namespace {

// Per-axis tolerance box; a NaN anywhere fails the comparison.
bool within_box(Point a, Point b, double epsilon) {
    return std::abs(a.x - b.x) <= epsilon && std::abs(a.y - b.y) <= epsilon;
}

// Value of a column at fraction t of the segment starting at index i; at the
// last of n points there is no segment and the point's own value is taken.
// On the point itself (t = 0) the value is the point's own, even where the
// next value is infinite or the difference overflows, and keeps its sign of zero.
double interpolate(const Path2D::Column& column, std::size_t i, double t, std::size_t n) {
    if (i + 1 >= n || t == 0.0) return column[i];
    return (column[i + 1] - column[i]) * t + column[i];
}

}  // namespace

std::optional<Path2D> Path2D::sub_path(std::optional<Point> start, std::optional<Point> end,
                                       double epsilon) const {
    const std::size_t n = points_.size();
    if (n == 0) return std::nullopt;
    const std::optional<Projection> ps =
        nearest_projection(start.value_or(points_.front()), epsilon);
    if (!ps) return std::nullopt;
    const std::optional<Projection> pe = nearest_projection(end.value_or(points_.back()), epsilon);
    if (!pe) return std::nullopt;
    const std::size_t i_s = ps->index;
    const std::size_t i_e = pe->index;
    if (i_s > i_e || (i_s == i_e && ps->fraction > pe->fraction)) return std::nullopt;

    // Only the two cut points merge with a neighbour within epsilon; the
    // copied interior stays as it is, even where points coincide.
    const bool keep_start = i_s + 1 < n && !within_box(ps->point, points_[i_s + 1], epsilon);
    std::vector<Point> result;
    result.reserve(i_e - i_s + 2);
    if (keep_start) result.push_back(ps->point);
    result.insert(result.end(), points_.begin() + i_s + 1, points_.begin() + i_e + 1);
    const bool keep_end = result.empty() || !within_box(pe->point, result.back(), epsilon);
    if (keep_end) result.push_back(pe->point);

    std::vector<Column> columns;
    columns.reserve(associated_values_.size());
    for (const Column& source : associated_values_) {
        Column& column = columns.emplace_back();
        column.reserve(result.size());
        if (keep_start) column.push_back(interpolate(source, i_s, ps->fraction, n));
        column.insert(column.end(), source.begin() + i_s + 1, source.begin() + i_e + 1);
        if (keep_end) column.push_back(interpolate(source, i_e, pe->fraction, n));
    }

    Path2D path = from_points(std::move(result));
    path.set_associated_values(std::move(columns));
    return path;
}

}  // namespace velmora
