#include <cmath>

#include "velmora/path2d.hpp"

namespace velmora {

namespace {

// The doubles nearest to pi and 2 pi, spelled out so the folding is reproducible.
constexpr double pi = 3.141592653589793;
constexpr double two_pi = 6.283185307179586;

double heading(Point from, Point to) { return std::atan2(to.y - from.y, to.x - from.x); }

}  // namespace

std::vector<std::size_t> Path2D::detect_corrupted_point_order(double sus_angle) const {
    std::vector<std::size_t> flagged;
    const std::size_t n = points_.size();
    if (n < 3) return flagged;
    double h_in = heading(points_[0], points_[1]);
    for (std::size_t j = 1; j + 1 < n; ++j) {
        const double h_out = heading(points_[j], points_[j + 1]);
        const double d = std::abs(h_out - h_in);
        const double turn = pi < d ? std::abs(two_pi - d) : d;
        // NaN on either side compares false and is never flagged
        if (turn >= sus_angle) flagged.push_back(j);
        h_in = h_out;
    }
    return flagged;
}

Path2D Path2D::repair_corrupted_point_order(double sus_angle) const {
    Path2D repaired = *this;
    // Every pass removes at least one interior point, so this ends after at
    // most n - 2 passes; removal can sharpen the neighbours' turns.
    for (std::vector<std::size_t> flagged = repaired.detect_corrupted_point_order(sus_angle);
         !flagged.empty(); flagged = repaired.detect_corrupted_point_order(sus_angle)) {
        repaired.remove_points(flagged);
    }
    return repaired;
}

}  // namespace velmora
