#include <cmath>
#include <compare>

#include "velmora/path2d.hpp"

namespace velmora {

namespace {

// Per-axis tolerance box; a NaN anywhere fails the comparison.
bool within_box(Point a, Point b, double epsilon) {
    return std::abs(a.x - b.x) <= epsilon && std::abs(a.y - b.y) <= epsilon;
}

}  // namespace

std::optional<Projection> Path2D::nearest_projection(Point query, double epsilon) const {
    const std::size_t n = points_.size();
    if (n == 0) return std::nullopt;
    // The first point wins when both ends qualify (a closed path)
    if (within_box(query, points_.front(), epsilon)) {
        return Projection{0, points_.front(), 0.0, 0.0};
    }
    if (within_box(query, points_.back(), epsilon)) {
        return Projection{n - 1, points_.back(), 0.0, 0.0};
    }

    std::optional<Projection> best;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const Point a = points_[i];
        const double dx = points_[i + 1].x - a.x;
        const double dy = points_[i + 1].y - a.y;
        const double t = ((query.x - a.x) * dx + (query.y - a.y) * dy) / (dx * dx + dy * dy);
        // t == 1 belongs to the next segment; a zero-length segment gives NaN
        if (!(t >= 0.0 && t < 1.0)) continue;
        const Point p{a.x + dx * t, a.y + dy * t};
        const double ex = p.x - query.x;
        const double ey = p.y - query.y;
        const double distance = std::sqrt(ex * ex + ey * ey);
        // Strictly smaller under the IEEE total order, so the lowest index keeps a tie
        if (!best || std::strong_order(distance, best->distance) < 0) {
            best = Projection{i, p, t, distance};
        }
    }
    return best;
}

std::optional<std::size_t> Path2D::index_from_point(Point query, double epsilon) const {
    const std::optional<Projection> projection = nearest_projection(query, epsilon);
    if (!projection) return std::nullopt;
    return projection->index;
}

std::optional<double> Path2D::path_length_from_point(Point query, double epsilon) const {
    const std::optional<Projection> projection = nearest_projection(query, epsilon);
    if (!projection) return std::nullopt;
    const std::size_t i = projection->index;
    const std::vector<double>& cum = path_length_per_point();
    if (i + 1 >= points_.size()) return cum[i];
    // The raw query is projected onto the segment direction, so a query snapped
    // to the first point may land slightly before or after it.
    const Point a = points_[i];
    const double dx = points_[i + 1].x - a.x;
    const double dy = points_[i + 1].y - a.y;
    const double s = dx * dx + dy * dy;
    const double dot = (query.x - a.x) * dx + (query.y - a.y) * dy;
    return cum[i] + std::sqrt(s) * (dot / s);
}

}  // namespace velmora
