#include <cctype>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <ostream>

#include <gtest/gtest.h>

#include "velmora/path2d.hpp"

using velmora::Path2D;
using velmora::Point;

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

struct ProjectionCase {
    const char* name;
    std::vector<Point> path;
    Point query;
    double epsilon;
    std::optional<std::size_t> index;
    std::optional<double> length;
};

// Printed by name, so that test listings stay one short line per case.
void PrintTo(const ProjectionCase& c, std::ostream* os) { *os << c.name; }

const std::vector<Point> line3{{0, 0}, {1, 0}, {2, 0}};

const ProjectionCase projection_cases[] = {
    {"beside", line3, {0.5, 0.3}, 0.01, 0, 0.5},
    {"far beside has no limit", line3, {0.5, 40.0}, 0.01, 0, 0.5},
    {"t one belongs to next segment", line3, {1.0, 0.3}, 0.01, 1, 1.0},
    {"snapped to last", line3, {2.005, 0.0}, 0.01, 2, 2.0},
    {"beyond end", line3, {2.5, 0.0}, 0.01, std::nullopt, std::nullopt},
    {"box edge is inside", line3, {2.25, -0.25}, 0.25, 2, 2.0},
    {"box not circle", line3, {-0.009, 0.009}, 0.01, 0, -0.009},
    {"outside smaller box", line3, {-0.009, 0.009}, 0.005, std::nullopt, std::nullopt},
    {"t exactly one on last segment", {{0, 0}, {1, 0}}, {1.0, 0.5}, 0.01, std::nullopt, std::nullopt},
    {"outside a corner", {{0, 0}, {1, 0}, {1, 1}}, {1.5, -0.5}, 0.01, std::nullopt, std::nullopt},
    {"tie goes to lowest index", {{0, 0}, {2, 0}, {2, 2}}, {1.5, 0.5}, 0.01, 0, 1.5},
    {"closed path snaps to first", {{0, 0}, {1, 0}, {1, 1}, {0, 0.005}}, {0, 0}, 0.01, 0, 0.0},
    {"empty path", {}, {0, 0}, 0.01, std::nullopt, std::nullopt},
    {"one point inside box", {{3, 4}}, {3.01, 3.99}, 0.01, 0, 0.0},
    {"one point elsewhere", {{3, 4}}, {3.5, 4}, 0.01, std::nullopt, std::nullopt},
    {"nan epsilon disables snapping", line3, {2, 0}, not_a_number, std::nullopt, std::nullopt},
    {"nan query", line3, {not_a_number, 0}, 0.01, std::nullopt, std::nullopt},
    {"zero length segment skipped", {{0, 0}, {0, 0}, {1, 0}}, {0.5, 0.1}, 0.01, 1, 0.5},
};

class ProjectionTable : public testing::TestWithParam<ProjectionCase> {};

}  // namespace

TEST_P(ProjectionTable, IndexAndPathLength) {
    const ProjectionCase& c = GetParam();
    const Path2D path = Path2D::from_points(c.path);
    EXPECT_EQ(path.index_from_point(c.query, c.epsilon), c.index);
    const std::optional<double> length = path.path_length_from_point(c.query, c.epsilon);
    ASSERT_EQ(length.has_value(), c.length.has_value());
    if (length) EXPECT_DOUBLE_EQ(*length, *c.length);
}

INSTANTIATE_TEST_SUITE_P(Projection, ProjectionTable, testing::ValuesIn(projection_cases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             }
                             return name;
                         });

TEST(Projection, RecordFieldsOfSegmentAndSnap) {
    const Path2D path = Path2D::from_points({{0, 0}, {2, 0}, {2, 2}});
    const auto tie = path.nearest_projection({1.5, 0.5}, 0.01);
    ASSERT_TRUE(tie);
    EXPECT_EQ(tie->point, (Point{1.5, 0}));
    EXPECT_EQ(tie->fraction, 0.75);
    EXPECT_EQ(tie->distance, 0.5);

    const auto snapped = path.nearest_projection({2.004, 1.996}, 0.01);
    ASSERT_TRUE(snapped);
    EXPECT_EQ(snapped->index, 2u);
    EXPECT_EQ(snapped->point, (Point{2, 2}));
    EXPECT_EQ(snapped->fraction, 0.0);
    EXPECT_EQ(snapped->distance, 0.0);
}

TEST(Projection, LengthUsesRawQueryInExactOrder) {
    // L[1] + sqrt(s) * (dot / s); both dot / sqrt(s) and sqrt(s) * dot / s
    // end one ulp lower, at 1.9632615262094517
    const Path2D path = Path2D::from_points({{0, 0}, {0.1, 0.7}, {3, 1.3}});
    EXPECT_EQ(path.index_from_point({1.3, 1.1}, 0.01), 1u);
    EXPECT_EQ(path.path_length_from_point({1.3, 1.1}, 0.01), 1.963261526209452);
}

TEST(Projection, CoincidentFirstPointsGiveNanLength) {
    const Path2D path = Path2D::from_points({{0, 0}, {0, 0}, {1, 0}});
    EXPECT_EQ(path.index_from_point({0.001, 0}, 0.01), 0u);
    const auto length = path.path_length_from_point({0.001, 0}, 0.01);
    ASSERT_TRUE(length);
    EXPECT_TRUE(std::isnan(*length));
}
