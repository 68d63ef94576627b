// A recorded track, repaired, smoothed and resampled through the C++ core.
#include <cmath>
#include <cstdio>
#include <variant>
#include <vector>

#include "velmora/path2d.hpp"

int main() {
    std::vector<velmora::Point> points;
    for (int i = 0; i <= 40; ++i) {
        const double t = i * 0.05;
        points.push_back({10.0 * std::cos(t), 10.0 * std::sin(t) + 0.05 * std::sin(7.0 * i)});
    }
    points.insert(points.begin() + 20, points[17]);  // one point recorded out of order

    const auto path = velmora::Path2D::from_points(points);
    const auto flagged = path.detect_corrupted_point_order(2.8);
    const auto repaired = path.repair_corrupted_point_order(2.8);
    const auto outcome =
        repaired.smoothed_path_elastic_band(0.1, velmora::ElasticBandMethod::OrthogonalBounds);
    const velmora::Path2D* smoothed = std::get_if<velmora::Path2D>(&outcome);
    if (smoothed == nullptr) {
        std::puts("elastic band: no smoothed path (the solver did not succeed)");
        return 1;
    }
    const auto resampled = smoothed->resampled_path(velmora::BySamplingDistance{0.5, false},
                                                    velmora::InterpolationMethod::Cubic, 0.01);
    const auto curvature = resampled.compute_circle_fit_curvature(0.15);

    std::printf("points: %zu, flagged: %zu, repaired: %zu, resampled: %zu\n", path.size(),
                flagged.size(), repaired.size(), resampled.size());
    std::printf("length: %.3f, curvature at the middle: %.4f\n", resampled.length(),
                curvature[curvature.size() / 2]);
    return flagged.empty() || resampled.size() < 40 ? 1 : 0;
}
