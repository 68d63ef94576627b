#include <vector>

#include <gtest/gtest.h>

#include "velmora/path2d.hpp"

using velmora::Path2D;
using velmora::Point;

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
