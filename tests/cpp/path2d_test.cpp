#include <cmath>

#include <gtest/gtest.h>

#include "velmora/path2d.hpp"

using velmora::Path2D;
using velmora::Point;

TEST(Path2D, ConstructionKeepsUnequalCoordinates) {
    const Path2D path = Path2D::from_coordinates({0, 1, 2}, {5, 6});
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path.points()[1], (Point{1, 6}));
    EXPECT_EQ(path.x().size(), 3u);
    EXPECT_EQ(path.curvature().size(), 2u);
    EXPECT_EQ(path.unit_tangent_vector().size(), 2u);
}

TEST(Path2D, RemovePointsCompactsEveryColumnAndEmptiesCaches) {
    Path2D path = Path2D::from_points({{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}});
    ASSERT_TRUE(path.add_associated_values({10, 11, 12, 13, 14}).handle);
    (void)path.length();
    path.remove_points({1, 3});
    EXPECT_EQ(path.points(), (std::vector<Point>{{0, 0}, {2, 0}, {4, 0}}));
    EXPECT_EQ(path.associated_values()[0], (std::vector<double>{10, 12, 14}));
    EXPECT_FALSE(path.path_length_cache().has_value());
}

TEST(ComputeDifferences, OneSidedAtEndsCentralInside) {
    EXPECT_TRUE(velmora::compute_differences({}).empty());
    EXPECT_EQ(velmora::compute_differences({4}), (std::vector<double>{0.0}));
    EXPECT_EQ(velmora::compute_differences({1, 3}), (std::vector<double>{2, 2}));
    EXPECT_EQ(velmora::compute_differences({1, 2, 4, 8}), (std::vector<double>{1, 1.5, 3, 4}));
}
