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

constexpr double solver_tolerance = 1e-4;
constexpr ElasticBandMethod both_methods[] = {ElasticBandMethod::SquareBounds,
                                              ElasticBandMethod::OrthogonalBounds};

// A zigzag: every interior point wants to move.
Path2D zigzag(std::size_t n) {
    std::vector<Point> points;
    for (std::size_t i = 0; i < n; ++i) points.push_back({double(i), (i % 2 == 0) ? 0.0 : 1.0});
    return Path2D::from_points(points);
}

double bending_energy(const std::vector<Point>& p) {
    double sum = 0.0;
    for (std::size_t i = 1; i + 1 < p.size(); ++i) {
        const double dx = p[i - 1].x - 2 * p[i].x + p[i + 1].x;
        const double dy = p[i - 1].y - 2 * p[i].y + p[i + 1].y;
        sum += dx * dx + dy * dy;
    }
    return sum;
}

void expect_points_near(const std::vector<Point>& actual, const std::vector<Point>& expected,
                        double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i].x, expected[i].x, tolerance) << "point " << i;
        EXPECT_NEAR(actual[i].y, expected[i].y, tolerance) << "point " << i;
    }
}

TEST(ElasticBand, LeavesAlreadySmoothPathsUnchanged) {
    const std::vector<std::vector<Point>> inputs = {
        {{0, 0}, {1, 0.5}, {2, 1}, {3, 1.5}, {4, 2}, {5, 2.5}},  // straight, equally spaced
        {{2, -1}, {5, 3}},                                       // two points
        {{1, 2}},                                                // one point
    };
    for (const auto& points : inputs) {
        for (const ElasticBandMethod method : both_methods) {
            SCOPED_TRACE(testing::Message() << points.size() << " points, method " << int(method));
            const auto smoothed = Path2D::from_points(points).smoothed_path_elastic_band(0.5, method);
            ASSERT_TRUE(std::holds_alternative<Path2D>(smoothed));
            expect_points_near(std::get<Path2D>(smoothed).points(), points, solver_tolerance);
        }
    }
}

TEST(ElasticBand, EmptyPathIsAnInternalError) {
    for (const ElasticBandMethod method : both_methods) {
        try {
            (void)Path2D::from_points({}).smoothed_path_elastic_band(1.0, method);
            ADD_FAILURE() << "no velmora::Error";
        } catch (const velmora::Error& e) {
            EXPECT_STREQ(e.what(), "index out of bounds: the len is 0 but the index is 0");
        }
    }
}

TEST(ElasticBand, SquareBoundsKeepEachAxisWithinDeviation) {
    const Path2D input = zigzag(9);
    const double d = 0.2;
    const auto smoothed = input.smoothed_path_elastic_band(d, ElasticBandMethod::SquareBounds);
    ASSERT_TRUE(std::holds_alternative<Path2D>(smoothed));
    const auto& out = std::get<Path2D>(smoothed).points();
    ASSERT_EQ(out.size(), 9u);
    double largest_move = 0.0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_LE(std::abs(out[i].x - input.points()[i].x), d + solver_tolerance) << i;
        EXPECT_LE(std::abs(out[i].y - input.points()[i].y), d + solver_tolerance) << i;
        largest_move = std::max(largest_move, std::abs(out[i].y - input.points()[i].y));
    }
    // The zigzag is pulled in as far as the bounds allow.
    EXPECT_NEAR(largest_move, d, 1e-3);
    EXPECT_LT(bending_energy(out), bending_energy(input.points()));
    expect_points_near({out.front(), out.back()}, {input.points().front(), input.points().back()},
                       solver_tolerance);
}

TEST(ElasticBand, OrthogonalBoundsMoveAlongTheNormalOnly) {
    const Path2D input = Path2D::from_points({{0, 0}, {1, 0.3}, {2, -0.2}, {3, 0.4}, {3.5, 1.5}, {4, 3}, {6, 3.2}});
    const double d = 0.25;
    const auto smoothed = input.smoothed_path_elastic_band(d, ElasticBandMethod::OrthogonalBounds);
    ASSERT_TRUE(std::holds_alternative<Path2D>(smoothed));
    ASSERT_TRUE(input.orientation_cache().has_value());
    const auto& out = std::get<Path2D>(smoothed).points();
    const auto& theta = input.orientation();
    for (std::size_t i = 1; i + 1 < out.size(); ++i) {
        const double dx = out[i].x - input.points()[i].x;
        const double dy = out[i].y - input.points()[i].y;
        // Along (sin, -cos) only: the tangential component vanishes.
        EXPECT_NEAR(dx * std::cos(theta[i]) + dy * std::sin(theta[i]), 0.0, solver_tolerance) << i;
        EXPECT_LE(std::hypot(dx, dy), d + solver_tolerance) << i;
    }
    EXPECT_LT(bending_energy(out), bending_energy(input.points()));
    expect_points_near({out.front(), out.back()}, {input.points().front(), input.points().back()},
                       solver_tolerance);
}

TEST(ElasticBand, OrthogonalBoundsOnHorizontalChordsMoveOnlyInY) {
    const Path2D input = zigzag(7);  // every interior chord runs along +x
    const auto smoothed = input.smoothed_path_elastic_band(0.3, ElasticBandMethod::OrthogonalBounds);
    ASSERT_TRUE(std::holds_alternative<Path2D>(smoothed));
    double moved_y = 0.0;
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_NEAR(std::get<Path2D>(smoothed).points()[i].x, input.points()[i].x, solver_tolerance) << i;
        moved_y = std::max(moved_y, std::abs(std::get<Path2D>(smoothed).points()[i].y - input.points()[i].y));
    }
    EXPECT_GT(moved_y, 0.1);
}

TEST(ElasticBand, ZeroDeviationPinsEveryPoint) {
    const Path2D input = zigzag(6);
    for (const ElasticBandMethod method : both_methods) {
        SCOPED_TRACE(int(method));
        const auto smoothed = input.smoothed_path_elastic_band(0.0, method);
        ASSERT_TRUE(std::holds_alternative<Path2D>(smoothed));
        expect_points_near(std::get<Path2D>(smoothed).points(), input.points(), solver_tolerance);
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
        {"contradictory square bounds", zigzag(3), -1.0, ElasticBandMethod::SquareBounds, SolverError::Infeasible},
        {"NaN deviation", zigzag(5), std::nan(""), ElasticBandMethod::OrthogonalBounds, SolverError::NotSolved},
        {"end points beyond 1e20", Path2D::from_points({{1e25, 0}, {2e25, 0}}), 0.5, ElasticBandMethod::SquareBounds, SolverError::RefusedData},
        {"interior point beyond 1e20", Path2D::from_points({{0, 0}, {-1e25, 1}, {2, 0}}), 0.5, ElasticBandMethod::OrthogonalBounds, SolverError::RefusedData},
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
    expect_points_near(std::get<Path2D>(smoothed).points(), {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}}, 1e-3);
}

TEST(ElasticBand, NanDeviationGivesNoPath) {
    for (const ElasticBandMethod method : both_methods) {
        EXPECT_FALSE(std::holds_alternative<Path2D>(zigzag(5).smoothed_path_elastic_band(std::nan(""), method)));
    }
}

TEST(ElasticBand, ResultIsBuiltFreshFromPoints) {
    Path2D input = zigzag(5);
    ASSERT_NO_THROW(input.add_associated_values({1, 2, 3, 4, 5}));
    const auto smoothed = input.smoothed_path_elastic_band(0.1, ElasticBandMethod::OrthogonalBounds);
    ASSERT_TRUE(std::holds_alternative<Path2D>(smoothed));
    EXPECT_TRUE(std::get<Path2D>(smoothed).associated_values().empty());
    EXPECT_FALSE(std::get<Path2D>(smoothed).orientation_cache().has_value());
    EXPECT_EQ(std::get<Path2D>(smoothed).x().size(), 5u);
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
