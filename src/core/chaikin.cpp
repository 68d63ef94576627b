#include <utility>

#include "core/memory.hpp"
#include "velmora/path2d.hpp"

namespace velmora {

namespace {

// Points after k doublings of n (n >= 2). Refused with std::bad_alloc before
// anything is allocated when the count overflows or the result record
// (points plus the x and y sequences) could not fit in physical memory.
std::size_t checked_result_size(std::size_t n, std::size_t iterations) {
    std::size_t count = n;
    // Overflows after at most 63 doublings, so a huge count ends quickly
    for (std::size_t k = 0; k < iterations; ++k) count = checked_mul(count, 2);
    check_allocation(count, sizeof(Point) + 2 * sizeof(double));
    return count;
}

}  // namespace

Path2D Path2D::smoothed_path_chaikin(std::size_t num_iterations) const {
    if (points_.size() < 2) return *this;
    checked_result_size(points_.size(), num_iterations);

    const Point first = points_.front();
    const Point last = points_.back();
    std::vector<Point> current = points_;
    for (std::size_t k = 0; k < num_iterations; ++k) {
        const std::size_t m = current.size();
        std::vector<Point> next;
        next.reserve(2 * m);
        next.push_back(first);
        for (std::size_t i = 0; i + 1 < m; ++i) {
            const Point a = current[i];
            const Point b = current[i + 1];
            next.push_back({a.x * 0.75 + b.x * 0.25, a.y * 0.75 + b.y * 0.25});
            next.push_back({a.x * 0.25 + b.x * 0.75, a.y * 0.25 + b.y * 0.75});
        }
        next.push_back(last);
        current = std::move(next);
    }
    return from_points(std::move(current));
}

}  // namespace velmora
