#include "velmora/path2d.hpp"

namespace velmora {

std::vector<double> Path2D::compute_circle_fit_curvature(double max_rmse) const {
    const std::size_t n = x_.size();
    const std::vector<Segment> segments = find_circle_segments(0, n, max_rmse);
    std::vector<double> curvature;
    curvature.reserve(n);
    // The segments tile [0, n): a boundary point takes the later segment's value.
    for (const Segment& segment : segments) {
        if (segment.end > segment.start)
            curvature.insert(curvature.end(), segment.end - segment.start, segment.curvature);
    }
    return curvature;
}

}  // namespace velmora
