#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/error.hpp"
#include "velmora/path2d.hpp"

namespace {

using velmora::ElasticBandMethod;
using velmora::Path2D;
using velmora::Point;

constexpr ElasticBandMethod both_methods[] = {ElasticBandMethod::SquareBounds,
                                              ElasticBandMethod::OrthogonalBounds};

// A zigzag: every interior point wants to move.
Path2D zigzag(std::size_t n) {
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) points.push_back({double(i), (i % 2 == 0) ? 0.0 : 1.0});
    return Path2D::from_points(points);
}

void expect_points_near(const std::vector<Point>& actual, const std::vector<Point>& expected,
                        double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i].x, expected[i].x, tolerance) << "point " << i;
        EXPECT_NEAR(actual[i].y, expected[i].y, tolerance) << "point " << i;
    }
}

TEST(ElasticBand, ReportsWhyThereIsNoPath) {
    using velmora::qp::SolverError;
    struct Case {
        const char* name;
        Path2D path;
        double deviation;
        ElasticBandMethod method;
        std::optional<SolverError> reason;
    };
    const std::vector<Case> cases = {
        {"contradictory square bounds", zigzag(3), -1.0, ElasticBandMethod::SquareBounds,
         SolverError::Infeasible},
        {"NaN deviation", zigzag(5), std::nan(""), ElasticBandMethod::OrthogonalBounds,
         SolverError::NotSolved},
        {"end points beyond 1e20", Path2D::from_points({{1e25, 0}, {2e25, 0}}), 0.5,
         ElasticBandMethod::SquareBounds, SolverError::RefusedData},
        {"interior point beyond 1e20", Path2D::from_points({{0, 0}, {-1e25, 1}, {2, 0}}), 0.5,
         ElasticBandMethod::OrthogonalBounds, SolverError::RefusedData},
        {"solvable", zigzag(5), 0.1, ElasticBandMethod::OrthogonalBounds, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = c.path.smoothed_path_elastic_band(c.deviation, c.method);
        if (c.reason) {
            ASSERT_TRUE(std::holds_alternative<SolverError>(outcome));
            EXPECT_EQ(std::get<SolverError>(outcome), *c.reason);
        } else {
            EXPECT_TRUE(std::holds_alternative<Path2D>(outcome));
        }
    }
}

TEST(ElasticBand, UnboundedSquareDeviationStraightensThePath) {
    const auto smoothed = zigzag(5).smoothed_path_elastic_band(
        std::numeric_limits<double>::infinity(), ElasticBandMethod::SquareBounds);
    ASSERT_TRUE(std::holds_alternative<Path2D>(smoothed));
    expect_points_near(std::get<Path2D>(smoothed).points(),
                       {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}, 1e-3);
}

// The exact bits of smoothed paths as an earlier, map-based modelling layer
// produced them: the problem handed to the solver must not change by a bit.
TEST(ElasticBand, SeededPathsKeepTheirDigest) {
    std::mt19937_64 rng(7);
    const auto unit = [&] { return static_cast<double>(rng() >> 11) * 0x1.0p-53; };
    std::uint64_t digest = 0xcbf29ce484222325ULL;
    const auto add = [&](std::uint64_t word) {
        for (int byte = 0; byte < 8; ++byte) {
            digest ^= (word >> (8 * byte)) & 0xff;
            digest *= 0x100000001b3ULL;
        }
    };
    for (const std::size_t n : {3, 4, 17, 250, 3000}) {
        std::vector<Point> points(n);
        double heading = 0.0, x = 0.0, y = 0.0;
        for (Point& p : points) {
            heading += (unit() - 0.5) * 0.6;
            x += std::cos(heading);
            y += std::sin(heading);
            p = {x + (unit() - 0.5) * 0.4, y + (unit() - 0.5) * 0.4};
        }
        const Path2D path = Path2D::from_points(points);
        for (const double d : {0.05, 0.3}) {
            for (const ElasticBandMethod method : both_methods) {
                const auto smoothed = path.smoothed_path_elastic_band(d, method);
                ASSERT_TRUE(std::holds_alternative<Path2D>(smoothed));
                for (const Point& p : std::get<Path2D>(smoothed).points()) {
                    add(std::bit_cast<std::uint64_t>(p.x));
                    add(std::bit_cast<std::uint64_t>(p.y));
                }
            }
        }
    }
    EXPECT_EQ(digest, 7259902331182775118u);
}

}  // namespace
