#include <cmath>

#include "velmora/path2d.hpp"

namespace velmora {

namespace {

// The doubles nearest to pi and 2 pi, spelled out so the folding is reproducible.
constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;

double heading(Point from, Point to) { return std::atan2(to.y - from.y, to.x - from.x); }

}  // namespace

namespace {

// The turn at interior point j of points, folded into 0 ... pi.
double turn_at(const std::vector<Point>& points, std::size_t j) {
    const double d = std::abs(heading(points[j], points[j + 1]) - heading(points[j - 1], points[j]));
    return pi < d ? std::abs(two_pi - d) : d;
}

// NaN on either side compares false and is never flagged.
bool suspicious(double turn, double sus_angle) { return turn >= sus_angle; }

}  // namespace

std::vector<std::size_t> Path2D::detect_corrupted_point_order(double sus_angle) const {
    std::vector<std::size_t> flagged;
    const std::size_t n = points_.size();
    if (n < 3) return flagged;
    double h_in = heading(points_[0], points_[1]);
    for (std::size_t j = 1; j + 1 < n; ++j) {
        const double h_out = heading(points_[j], points_[j + 1]);
        const double d = std::abs(h_out - h_in);
        if (suspicious(pi < d ? std::abs(two_pi - d) : d, sus_angle)) flagged.push_back(j);
        h_in = h_out;
    }
    return flagged;
}

Path2D Path2D::repair_corrupted_point_order(double sus_angle) const {
    Path2D repaired = *this;
    std::vector<std::size_t> flagged = repaired.detect_corrupted_point_order(sus_angle);
    // Every pass removes at least one interior point, so this ends after at
    // most n - 2 passes; removal can sharpen the neighbours' turns. Only the
    // turns next to a removed run change, and every flagged point is removed,
    // so the next detection only needs to look there: it gives exactly what a
    // detection over the whole path would.
    std::vector<std::size_t> changed;
    while (!flagged.empty()) {
        changed.clear();
        for (std::size_t k = 0; k < flagged.size(); ++k) {
            // the removed run ending at flagged[k] leaves its right neighbour at
            // new index g, with g - 1 its new left neighbour
            if (k + 1 < flagged.size() && flagged[k + 1] == flagged[k] + 1) continue;
            const std::size_t g = flagged[k] + 1 - (k + 1);
            if (changed.empty() || changed.back() < g - 1) changed.push_back(g - 1);
            changed.push_back(g);
        }
        repaired.remove_points(flagged);
        flagged.clear();
        const std::size_t n = repaired.points_.size();
        for (const std::size_t j : changed) {
            if (j >= 1 && j + 1 < n && suspicious(turn_at(repaired.points_, j), sus_angle))
                flagged.push_back(j);
        }
    }
    return repaired;
}

}  // namespace velmora
