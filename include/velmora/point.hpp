#pragma once
// A planar point: x then y. Laid out as two doubles so that a
// std::vector<Point> is one contiguous (n, 2) block of doubles.

namespace velmora {

struct Point {
    double x = 0.0;
    double y = 0.0;

    friend bool operator==(const Point&, const Point&) = default;
};

static_assert(sizeof(Point) == 2 * sizeof(double), "Point must be two packed doubles");

}  // namespace velmora
