#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/memory.hpp"
#include "velmora/path2d.hpp"

using velmora::Path2D;
using velmora::Point;
using Points = std::vector<Point>;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(SubPath, ColumnsAreInterpolatedAtTheCuts) {
    Path2D path = Path2D::from_points({{0, 0}, {1, 0}, {2, 0}});
    ASSERT_EQ(path.add_associated_values({10, 20, 30}), 0u);
    ASSERT_EQ(path.add_associated_values({0.1, 0.7, 1.3}), 1u);
    (void)path.length();

    const auto inner = path.sub_path(Point{0.5, 0}, Point{1.5, 0}, 0.01);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->points(), (Points{{0.5, 0}, {1, 0}, {1.5, 0}}));
    EXPECT_EQ(inner->associated_values()[0], (std::vector<double>{15, 20, 25}));
    EXPECT_FALSE(inner->path_length_cache().has_value());

    // (c[i+1] - c[i]) * t + c[i]: c[i] * (1 - t) + c[i+1] * t gives 0.27999999999999997
    // at the start and 1.1199999999999999 at the end
    const auto exact = path.sub_path(Point{0.3, 0}, Point{1.7, 0}, 0.01);
    ASSERT_TRUE(exact);
    EXPECT_EQ(exact->associated_values()[1], (std::vector<double>{0.28, 0.7, 1.12}));

    const auto last = path.sub_path(Point{2, 0}, std::nullopt, 0.01);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->points(), (Points{{2, 0}}));
    EXPECT_EQ(last->associated_values(), (std::vector<std::vector<double>>{{30}, {1.3}}));
}

TEST(Chaikin, ImpossibleSizesThrowBadAllocUpFront) {
    const Path2D path = Path2D::from_points({{0, 0}, {1, 1}});
    for (std::size_t iterations : {std::size_t{63}, std::size_t{64}, std::size_t{200},
                                   std::numeric_limits<std::size_t>::max()}) {
        EXPECT_THROW((void)path.smoothed_path_chaikin(iterations), std::bad_alloc) << iterations;
    }
    // The smallest count whose points alone exceed physical memory
    std::size_t iterations = 0;
    std::size_t count = 2;
    while (count <= velmora::physical_memory_bytes() / sizeof(Point)) {
        count *= 2;
        ++iterations;
    }
    EXPECT_THROW((void)path.smoothed_path_chaikin(iterations), std::bad_alloc);
}

namespace {

// The repair by its definition: detect on the whole path, remove every
// flagged point, repeat until nothing is flagged.
Path2D reference_repair(const Path2D& path, double sus_angle) {
    Path2D repaired = path;
    for (auto flagged = repaired.detect_corrupted_point_order(sus_angle); !flagged.empty();
         flagged = repaired.detect_corrupted_point_order(sus_angle))
        repaired.remove_points(flagged);
    return repaired;
}

// Paths with single backward steps, long backward runs, zig-zags, repeats
// and NaN points.
Points corrupted_path(std::mt19937_64& rng) {
    const auto uniform = [&](double lo, double hi) {
        return std::uniform_real_distribution<>(lo, hi)(rng);
    };
    const std::size_t n = rng() % 8 == 0 ? rng() % 3000 : rng() % 60;
    Points pts;
    double x = 0, y = 0, heading = uniform(-3, 3), direction = 1;
    const int kind = static_cast<int>(rng() % 4);
    const std::size_t run_start = n ? rng() % n : 0, run_length = n ? rng() % (n / 3 + 2) : 0;
    for (std::size_t i = 0; i < n; ++i) {
        heading += uniform(-0.05, 0.05);
        if (kind == 0 && rng() % 10 == 0) direction = -direction;  // backward steps
        if (kind == 1)
            direction = i >= run_start && i < run_start + run_length ? -1 : 1;  // a long run
        if (kind == 2) direction = i % 2 ? -0.5 : 1;                            // zig-zag
        if (kind == 3) heading = uniform(-3.2, 3.2);                            // anything
        const double step = uniform(0.5, 1.5) * direction;
        x += step * std::cos(heading);
        y += step * std::sin(heading);
        pts.push_back({x, y});
        if (rng() % 25 == 0) pts.push_back(pts.back());  // a repeated point
        if (rng() % 40 == 0) pts.back().x = not_a_number;
    }
    return pts;
}

}  // namespace

TEST(PointOrder, RepairMatchesTheDefinitionOnACorpus) {
    std::mt19937_64 rng(81);
    const double angles[] = {2.8, 3.0, 3.141592653589793, 2.0, 0.5, 0.0, -1.0, not_a_number};
    for (int k = 0; k < 2000; ++k) {
        Path2D path = Path2D::from_points(corrupted_path(rng));
        std::vector<double> index(path.size());
        for (std::size_t i = 0; i < index.size(); ++i) index[i] = static_cast<double>(i);
        ASSERT_NO_THROW(path.add_associated_values(index));
        const double sus_angle = angles[rng() % std::size(angles)];
        const Path2D expected = reference_repair(path, sus_angle);
        const Path2D got = path.repair_corrupted_point_order(sus_angle);
        // the kept indices, and the points bit for bit (NaN included)
        ASSERT_EQ(got.associated_values(), expected.associated_values()) << "path " << k;
        ASSERT_EQ(got.size(), expected.size());
        if (got.size() > 0) {  // memcmp must not see the null data of an empty vector
            EXPECT_EQ(std::memcmp(got.points().data(), expected.points().data(),
                                  got.size() * sizeof(Point)),
                      0);
        }
    }
}
