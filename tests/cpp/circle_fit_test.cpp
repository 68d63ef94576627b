#include <algorithm>
#include <cmath>
#include <span>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

#include "velmora/circle_fit.hpp"
#include "velmora/error.hpp"
#include "velmora/path2d.hpp"

using velmora::Path2D;
using velmora::Point;
using velmora::Segment;

namespace {

using velmora::testing::inf_value;
using velmora::testing::internal_error;
using velmora::testing::nan_value;

// n points on the arc of radius r around c from angle a0 to a1 (inclusive).
std::vector<Point> arc(Point c, double r, double a0, double a1, std::size_t n) {
    std::vector<Point> pts;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = a0 + (a1 - a0) * static_cast<double>(i) / static_cast<double>(n - 1);
        pts.push_back({c.x + r * std::cos(a), c.y + r * std::sin(a)});
    }
    return pts;
}

struct Coords {
    std::vector<double> x, y;
};

Coords split(const std::vector<Point>& pts) {
    Coords c;
    for (const Point& p : pts) {
        c.x.push_back(p.x);
        c.y.push_back(p.y);
    }
    return c;
}

}  // namespace

TEST(TaubinCircleFit, RecoversAKnownCircleInEitherOrder) {
    Coords c = split(arc({1, -1}, 2, -0.3, 2.9, 9));
    const auto fit = velmora::taubin_circle_fit(c.x, c.y);
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->cx, 1.0, 1e-12);
    EXPECT_NEAR(fit->cy, -1.0, 1e-12);
    EXPECT_NEAR(fit->r, 2.0, 1e-12);
    EXPECT_LT(fit->rmse, 1e-14);

    std::reverse(c.x.begin(), c.x.end());
    std::reverse(c.y.begin(), c.y.end());
    const auto reversed = velmora::taubin_circle_fit(c.x, c.y);
    ASSERT_TRUE(reversed);
    EXPECT_NEAR(reversed->cx, fit->cx, 1e-12);
    EXPECT_NEAR(reversed->cy, fit->cy, 1e-12);
    EXPECT_NEAR(reversed->r, fit->r, 1e-12);
}

TEST(TaubinCircleFit, RmseIsTheMeanOverAllPoints) {
    // Alternating radial error +-0.1 around the unit circle: the fit stays the
    // unit circle by symmetry and the RMSE is 0.1 only when dividing by n.
    std::vector<double> x, y;
    for (int i = 0; i < 8; ++i) {
        const double a = std::numbers::pi / 4 * i;
        const double r = i % 2 == 0 ? 1.1 : 0.9;
        x.push_back(r * std::cos(a));
        y.push_back(r * std::sin(a));
    }
    const auto fit = velmora::taubin_circle_fit(x, y);
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->cx, 0.0, 1e-12);
    EXPECT_NEAR(fit->cy, 0.0, 1e-12);
    double sum = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double e = std::hypot(x[i] - fit->cx, y[i] - fit->cy) - fit->r;
        sum += e * e;
    }
    EXPECT_NEAR(fit->rmse, std::sqrt(sum / 8.0), 1e-15);
    EXPECT_GT(fit->rmse, 0.09);
}

TEST(TaubinCircleFit, DegenerateRuns) {
    const std::vector<double> line_x{0, 1, 2};
    const std::vector<double> zeros{0, 0, 0};
    const auto collinear = velmora::taubin_circle_fit(line_x, zeros);
    ASSERT_TRUE(collinear);
    EXPECT_FALSE(std::isfinite(collinear->r));
    EXPECT_FALSE(std::isfinite(collinear->cx));
    EXPECT_TRUE(std::isnan(collinear->rmse));

    const std::vector<double> empty;
    EXPECT_FALSE(velmora::taubin_circle_fit(empty, empty));
    EXPECT_FALSE(velmora::taubin_circle_fit(line_x, std::vector<double>{0, 0}));
}

TEST(TaubinCircleFit, NonFiniteInputNeverReachesLapack) {
    // LAPACK loops forever on some of these matrices and may print on others;
    // the fit must return promptly and silently.
    const std::vector<double> same(50, 3.0);
    const std::vector<double> same_y(50, -1.0);
    std::vector<double> bad_nan{0, 1, 2, 3}, bad_inf{0, 1, 2, 3};
    bad_nan[2] = nan_value;
    bad_inf[1] = inf_value;
    const std::vector<double> y4{0, 1, 0, 1};
    const std::vector<double> huge{1e200, -1e200, 1e200};
    const std::vector<double> y3{0, 1, 2};

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const auto coincident = velmora::taubin_circle_fit(same, same_y);
    const auto three_coincident =
        velmora::taubin_circle_fit(std::span(same).first(3), std::span(same_y).first(3));
    const auto with_nan = velmora::taubin_circle_fit(bad_nan, y4);
    const auto with_inf = velmora::taubin_circle_fit(bad_inf, y4);
    const auto overflowing = velmora::taubin_circle_fit(huge, y3);
    // Runs shorter than the three unknowns are valid LAPACK input too.
    EXPECT_TRUE(velmora::taubin_circle_fit(std::span(y3).first(2), std::span(y3).first(2)));
    EXPECT_TRUE(velmora::taubin_circle_fit(std::span(y3).first(1), std::span(y4).first(1)));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    for (const auto& fit : {coincident, three_coincident, overflowing}) {
        ASSERT_TRUE(fit);
        EXPECT_TRUE(std::isnan(fit->rmse));
        EXPECT_TRUE(std::isnan(fit->r));
    }
    EXPECT_FALSE(with_nan);
    EXPECT_FALSE(with_inf);
}

TEST(TaubinCircleFit, ReusedWorkspaceGivesFreshResults) {
    const Coords big = split(arc({0, 0}, 5, 0, 3, 200));
    const Coords small = split(arc({2, 2}, 1, 1, 2, 4));
    velmora::FitWorkspace ws;
    ASSERT_TRUE(velmora::taubin_circle_fit(big.x, big.y, ws));
    const auto reused = velmora::taubin_circle_fit(small.x, small.y, ws);
    const auto fresh = velmora::taubin_circle_fit(small.x, small.y);
    ASSERT_TRUE(reused && fresh);
    EXPECT_EQ(reused->cx, fresh->cx);
    EXPECT_EQ(reused->r, fresh->r);
    EXPECT_EQ(reused->rmse, fresh->rmse);
}

TEST(FindCircleSegments, RangeErrors) {
    const Path2D path = Path2D::from_points(arc({0, 0}, 1, 0, 1, 10));
    EXPECT_EQ(internal_error([&] { path.find_circle_segments(5, 3, 0.15); }),
              "slice index starts at 5 but ends at 3");
    EXPECT_EQ(internal_error([&] { path.find_circle_segments(0, 11, 0.15); }),
              "range end index 11 out of range for slice of length 10");
    const Path2D short_y = Path2D::from_coordinates({0, 1, 2, 3, 4}, {0, 1, 0, 1});
    EXPECT_EQ(internal_error([&] { short_y.find_circle_segments(0, 5, 0.15); }),
              "range end index 5 out of range for slice of length 4");
    // Fewer than three points are returned unchecked.
    EXPECT_EQ(path.find_circle_segments(100, 102, 0.15), (std::vector<Segment>{{100, 102, 0.0}}));
    EXPECT_EQ(path.find_circle_segments(7, 7, 0.15), (std::vector<Segment>{{7, 7, 0.0}}));
}

TEST(FindCircleSegments, CircleIsOneSegment) {
    const Path2D path = Path2D::from_points(arc({4, -2}, 2.5, 0.2, 4.0, 40));
    const std::vector<Segment> segments = path.find_circle_segments(0, 40, 0.15);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].start, 0u);
    EXPECT_EQ(segments[0].end, 40u);
    EXPECT_NEAR(segments[0].curvature, 1 / 2.5, 1e-12);
    const std::vector<double> k = path.compute_circle_fit_curvature(0.15);
    ASSERT_EQ(k.size(), 40u);
    for (const double v : k) EXPECT_NEAR(v, 1 / 2.5, 1e-12);
}

TEST(FindCircleSegments, RejectingEveryFitGivesPairs) {
    const Path2D path = Path2D::from_points(arc({0, 0}, 1, 0, 1, 8));
    const std::vector<Segment> pairs{{0, 2, 0.0}, {2, 4, 0.0}, {4, 6, 0.0}, {6, 8, 0.0}};
    EXPECT_EQ(path.find_circle_segments(0, 8, -1.0), pairs);
    EXPECT_EQ(path.find_circle_segments(0, 8, nan_value), pairs);
    EXPECT_EQ(path.find_circle_segments(2, 5, -1.0),
              (std::vector<Segment>{{2, 3, 0.0}, {3, 5, 0.0}}));
    EXPECT_EQ(path.compute_circle_fit_curvature(-1.0), std::vector<double>(8, 0.0));
}

TEST(FindCircleSegments, SegmentsTileAndEachFitsTheThreshold) {
    // Two arcs of different radius joined at a corner, then a straight run.
    std::vector<Point> pts = arc({0, 0}, 5, 0, 1.2, 25);
    for (const Point& p : arc({pts.back().x - 1, pts.back().y}, 1, 0, 2.5, 20)) pts.push_back(p);
    for (int i = 1; i <= 10; ++i) pts.push_back({pts.back().x - 0.3, pts.back().y - 0.2});
    const Path2D path = Path2D::from_points(pts);
    const double max_rmse = 0.01;
    const std::vector<Segment> segments = path.find_circle_segments(0, pts.size(), max_rmse);

    ASSERT_FALSE(segments.empty());
    EXPECT_EQ(segments.front().start, 0u);
    EXPECT_EQ(segments.back().end, pts.size());
    for (std::size_t i = 0; i + 1 < segments.size(); ++i)
        EXPECT_EQ(segments[i].end, segments[i + 1].start);
    for (const Segment& s : segments) {
        if (s.end - s.start < 3) {
            EXPECT_EQ(s.curvature, 0.0);
            continue;
        }
        const std::span<const double> x(path.x()), y(path.y());
        const auto fit = velmora::taubin_circle_fit(x.subspan(s.start, s.end - s.start),
                                                    y.subspan(s.start, s.end - s.start));
        ASSERT_TRUE(fit);
        EXPECT_LE(fit->rmse, max_rmse);
        EXPECT_EQ(s.curvature, 1.0 / fit->r);
    }
    // The inner points of the first arc get its curvature.
    const std::vector<double> k = path.compute_circle_fit_curvature(max_rmse);
    ASSERT_EQ(k.size(), pts.size());
    EXPECT_NEAR(k[10], 0.2, 1e-9);
}

TEST(FindCircleSegments, RepeatedPointsAreRejectedNotFatal) {
    // A path that stops: its runs of identical points define no circle.
    std::vector<Point> pts(7, Point{2, 3});
    const Path2D path = Path2D::from_points(pts);
    for (const Segment& s : path.find_circle_segments(0, 7, 0.15)) {
        EXPECT_LE(s.end - s.start, 2u);
        EXPECT_EQ(s.curvature, 0.0);
    }
    EXPECT_EQ(path.compute_circle_fit_curvature(0.15), std::vector<double>(7, 0.0));
}

TEST(CircleFitCurvature, SmallAndUnevenPaths) {
    EXPECT_TRUE(Path2D::from_points({}).compute_circle_fit_curvature(0.15).empty());
    EXPECT_EQ(Path2D::from_points({{0, 0}}).compute_circle_fit_curvature(0.15),
              std::vector<double>{0.0});
    EXPECT_EQ(Path2D::from_points({{0, 0}, {1, 1}}).compute_circle_fit_curvature(0.15),
              (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(Path2D::from_coordinates({0, 1}, {5}).compute_circle_fit_curvature(0.15),
              (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(Path2D::from_points({{0, 0}, {1, 0}, {2, 0}}).compute_circle_fit_curvature(0.15),
              (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(internal_error([] {
                  Path2D::from_coordinates({0, 1, 2}, {5, 6}).compute_circle_fit_curvature(0.15);
              }),
              "range end index 3 out of range for slice of length 2");
    // NaN coordinates make the decomposition fail.
    EXPECT_EQ(internal_error([] {
                  Path2D::from_points({{0, 0}, {1, nan_value}, {2, 1}})
                      .compute_circle_fit_curvature(0.15);
              }),
              "called `Option::unwrap()` on a `None` value");
}
