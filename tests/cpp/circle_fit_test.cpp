#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

#include "core/circle_fit_within.hpp"
#include "core/lapack.hpp"
#include "velmora/circle_fit.hpp"
#include "velmora/error.hpp"
#include "velmora/path2d.hpp"

using velmora::Path2D;
using velmora::Point;
using velmora::Segment;

namespace {

using velmora::testing::inf_value;
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

namespace reference {

// The fit as it was first written: two mean passes, M built and checked
// whole, and dgesvd on all of M after a workspace query. The fit must keep
// giving exactly its bits.
double mean(std::span<const double> v) {
    double sum = 0.0;
    for (const double e : v) sum += e;
    return sum / static_cast<double>(v.size());
}

bool all_finite(std::span<const double> v) {
    return std::all_of(v.begin(), v.end(), [](double e) { return std::isfinite(e); });
}

std::optional<velmora::CircleFit> fit(std::span<const double> x, std::span<const double> y) {
    if (x.empty() || y.empty() || x.size() != y.size()) return std::nullopt;
    const std::size_t n = x.size();
    std::vector<double> m(3 * n);
    double* const z0 = m.data();
    double* const x_col = z0 + n;
    double* const y_col = z0 + 2 * n;
    const double mx = mean(x);
    const double my = mean(y);
    double z_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        x_col[i] = x[i] - mx;
        y_col[i] = y[i] - my;
        z0[i] = x_col[i] * x_col[i] + y_col[i] * y_col[i];
        z_sum += z0[i];
    }
    const double zm = z_sum / static_cast<double>(n);
    const double scale = 2.0 * std::sqrt(zm);
    for (std::size_t i = 0; i < n; ++i) z0[i] = (z0[i] - zm) / scale;
    if (!all_finite(m)) {
        if (!all_finite(x) || !all_finite(y)) return std::nullopt;
        return velmora::CircleFit{nan_value, nan_value, nan_value, nan_value};
    }
    const int rows = static_cast<int>(n);
    const int cols = 3, ldu = 1, ldvt = 3;
    double singular[3], u_unused[1], vt[9], optimal = 0.0;
    int info = 0, lwork = -1;
    dgesvd_("N", "A", &rows, &cols, m.data(), &rows, singular, u_unused, &ldu, vt, &ldvt, &optimal,
            &lwork, &info, 1, 1);
    if (info != 0) return std::nullopt;
    lwork = std::max(1, static_cast<int>(optimal));
    std::vector<double> work(lwork);
    dgesvd_("N", "A", &rows, &cols, m.data(), &rows, singular, u_unused, &ldu, vt, &ldvt,
            work.data(), &lwork, &info, 1, 1);
    if (info != 0) return std::nullopt;
    const double a0 = vt[2] / scale;
    const double a1 = vt[5];
    const double a2 = vt[8];
    const double a3 = -zm * a0;
    velmora::CircleFit f;
    f.cx = mx + (a1 * -0.5) / a0;
    f.cy = my + (a2 * -0.5) / a0;
    f.r = std::sqrt(a1 * a1 + a2 * a2 - 4.0 * a0 * a3) * 0.5 / std::abs(a0);
    double sq_sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = x[i] - f.cx;
        const double dy = y[i] - f.cy;
        const double e = std::sqrt(dx * dx + dy * dy) - f.r;
        sq_sum += e * e;
    }
    f.rmse = std::sqrt(sq_sum / static_cast<double>(n));
    return f;
}

// The largest magnitude in M, as dgesvd measures it to decide on rescaling.
double largest_entry(std::span<const double> x, std::span<const double> y) {
    const std::size_t n = x.size();
    const double mx = mean(x), my = mean(y);
    std::vector<double> z(n);
    double z_sum = 0.0, largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double cx = x[i] - mx, cy = y[i] - my;
        z[i] = cx * cx + cy * cy;
        z_sum += z[i];
        largest = std::max({largest, std::abs(cx), std::abs(cy)});
    }
    const double zm = z_sum / static_cast<double>(n);
    for (const double v : z)
        largest = std::max(largest, std::abs((v - zm) / (2.0 * std::sqrt(zm))));
    return largest;
}

}  // namespace reference

namespace {

// Runs of every kind the decomposition meets, and the degenerate ones.
struct Corpus {
    std::mt19937_64 rng{20261207};
    std::vector<double> x, y;

    double uniform(double lo, double hi) {
        return lo + (hi - lo) * static_cast<double>(rng() >> 11) * 0x1.0p-53;
    }
    double normal() { return uniform(-1, 1) + uniform(-1, 1); }  // shape does not matter
    std::size_t pick(std::size_t count) { return rng() % count; }

    std::size_t size() {
        const double u = uniform(0, 1);
        if (u < 0.03) return 1 + pick(3);  // 1, 2 or 3 rows
        if (u < 0.06) return 4;
        if (u < 0.80) return 3 + pick(62);
        if (u < 0.995) return 65 + pick(1000);
        return 1000 + pick(15000);
    }

    // Fills x and y; returns the kind.
    int next() {
        int kind = static_cast<int>(pick(13));
        if (kind == 12 && pick(10) != 0) kind = 0;  // long runs: keep them rare
        // an outlier needs many points to outgrow the rest
        const std::size_t n = kind == 12 ? 1000 + pick(2000) : size();
        x.assign(n, 0.0);
        y.assign(n, 0.0);
        const double cx = uniform(-1e3, 1e3), cy = uniform(-1e3, 1e3);
        const double r = std::pow(10.0, uniform(-2, 4));
        const double a0 = uniform(0, 6.3), sweep = uniform(0.01, 6.3);
        const double noise = r * std::pow(10.0, uniform(-7, -1));
        const auto on_arc = [&](std::size_t i, double radius, double ox, double oy) {
            const double a = a0 + sweep * static_cast<double>(i) / static_cast<double>(n);
            x[i] = ox + radius * std::cos(a) + noise * normal();
            y[i] = oy + radius * std::sin(a) + noise * normal();
        };
        switch (kind) {
            case 0:  // noisy arc
            case 1:
                for (std::size_t i = 0; i < n; ++i) on_arc(i, r, cx, cy);
                break;
            case 2: {  // a line, exact or noisy
                const double dx = normal(), dy = kind % 2 ? 0.0 : normal();
                const double jitter = pick(2) ? 0.0 : noise;
                for (std::size_t i = 0; i < n; ++i) {
                    x[i] = cx + dx * static_cast<double>(i) + jitter * normal();
                    y[i] = cy + dy * static_cast<double>(i) + jitter * normal();
                }
                break;
            }
            case 3:  // points on one axis
                for (std::size_t i = 0; i < n; ++i) x[i] = std::floor(uniform(-50, 50));
                break;
            case 4:  // all points the same
                std::fill(x.begin(), x.end(), cx);
                std::fill(y.begin(), y.end(), cy);
                break;
            case 5:  // only two distinct positions
                for (std::size_t i = 0; i < n; ++i) {
                    const bool second = pick(2);
                    x[i] = second ? cx + r : cx;
                    y[i] = second ? cy - r : cy;
                }
                break;
            case 6:  // an arc whose points repeat, as where a vehicle stops
                for (std::size_t i = 0; i < n; ++i) {
                    if (i > 0 && pick(3) == 0) {
                        x[i] = x[i - 1];
                        y[i] = y[i - 1];
                    } else {
                        on_arc(i, r, cx, cy);
                    }
                }
                break;
            case 7:  // integer grid points
                for (std::size_t i = 0; i < n; ++i) {
                    x[i] = std::floor(uniform(-20, 20));
                    y[i] = std::floor(uniform(-20, 20));
                }
                break;
            case 8:  // huge or tiny magnitudes, around dgesvd's rescaling bounds too
            case 9: {
                const double exponent = std::vector<double>{
                    140, 137.9, 138.3, 100, -100, -137.9, -138.3, -140, -155, -160}[pick(10)];
                const double unit = std::pow(10.0, exponent);
                const double offset = pick(2) ? unit * uniform(-3, 3) : 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    on_arc(i, 1.0, 0.0, 0.0);
                    x[i] = x[i] * unit + offset;
                    y[i] = y[i] * unit;
                }
                break;
            }
            case 10:  // a gaussian cloud
                for (std::size_t i = 0; i < n; ++i) {
                    x[i] = cx + r * normal();
                    y[i] = cy + r * normal();
                }
                break;
            case 12: {  // one far outlier beside a huge cloud: only Z0 is out of range
                const double unit = std::pow(10.0, uniform(134, 137));
                for (std::size_t i = 0; i < n; ++i) {
                    x[i] = unit * uniform(-1, 1);
                    y[i] = unit * uniform(-1, 1);
                }
                x[pick(n)] = unit * std::sqrt(static_cast<double>(n)) * uniform(1, 3);
                break;
            }
            default:  // an arc with one coordinate that is not finite, now and then
                for (std::size_t i = 0; i < n; ++i) on_arc(i, r, cx, cy);
                if (pick(20) == 0) (pick(2) ? x : y)[pick(n)] = pick(2) ? nan_value : -inf_value;
                break;
        }
        return kind;
    }
};

bool same_bits(const std::optional<velmora::CircleFit>& a,
               const std::optional<velmora::CircleFit>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || std::memcmp(&*a, &*b, sizeof(velmora::CircleFit)) == 0;
}

}  // namespace

TEST(TaubinCircleFit, BitIdenticalToDgesvdOnTheWholeMatrix) {
    Corpus corpus;
    velmora::FitWorkspace ws;
    const double small = std::sqrt(dlamch_("S", 1)) / dlamch_("P", 1);
    int rescaled = 0, long_runs = 0, failures = 0;
    for (int k = 0; k < 100000 && failures < 5; ++k) {
        const int kind = corpus.next();
        const std::span<const double> x(corpus.x), y(corpus.y);
        const auto expected = reference::fit(x, y);
        const auto got = velmora::taubin_circle_fit(x, y, ws);
        if (!same_bits(expected, got)) {
            ADD_FAILURE() << "fit " << k << " of kind " << kind << ", " << x.size() << " points";
            ++failures;
        }
        if (x.size() >= 239) ++long_runs;
        if (expected && std::isfinite(expected->rmse) && x.size() >= 4 && k % 4 == 0) {
            const double largest = reference::largest_entry(x, y);
            rescaled += largest < small || largest > 1.0 / small;
            // The decomposition's variant decides exactly as the full RMSE does,
            // a threshold of zero included (the partial sums start at zero).
            for (const double max_rmse :
                 {expected->rmse, std::nextafter(expected->rmse, 0.0), expected->rmse * 0.5, 0.0}) {
                const auto within = velmora::detail::taubin_circle_fit_within(x, y, ws, max_rmse);
                ASSERT_TRUE(within);
                EXPECT_EQ(max_rmse >= within->rmse, max_rmse >= expected->rmse) << "fit " << k;
                EXPECT_EQ(within->r, expected->r);
            }
        }
    }
    // The corpus reaches dgesvd's rescaling and OpenBLAS's heap buffers.
    EXPECT_GT(rescaled, 50);
    EXPECT_GT(long_runs, 500);
}

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

namespace reference {

// The decomposition by its definition: every range fitted afresh.
void segments(std::span<const double> x, std::span<const double> y, std::size_t start,
              std::size_t end, double max_rmse, std::vector<Segment>& out) {
    const std::size_t d = end - start;
    if (d < 3) {
        out.push_back({start, end, 0.0});
        return;
    }
    const auto whole = fit(x.subspan(start, d), y.subspan(start, d));
    ASSERT_TRUE(whole);
    if (max_rmse >= whole->rmse) {
        out.push_back({start, end, 1.0 / whole->r});
        return;
    }
    segments(x, y, start, start + d / 2, max_rmse, out);
    const std::size_t last_left = out.size() - 1;
    segments(x, y, start + d / 2, end, max_rmse, out);
    const std::size_t g = out[last_left].start, h = out[last_left + 1].end;
    const auto junction = fit(x.subspan(g, h - g), y.subspan(g, h - g));
    ASSERT_TRUE(junction);
    if (max_rmse >= junction->rmse) {
        out[last_left] = {g, h, 1.0 / junction->r};
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(last_left) + 1);
    }
}

}  // namespace reference

TEST(FindCircleSegments, SameAsFittingEveryRangeAfresh) {
    // Chains of noisy arcs, some with a straight stretch or a stop, split at
    // several thresholds: the segments, curvatures included, bit for bit.
    std::mt19937_64 rng(7);
    for (const std::size_t n : {40u, 700u, 5000u, 30000u}) {
        std::vector<Point> pts{{0, 0}};
        double heading = 0.0;
        while (pts.size() < n) {
            const double turn = std::uniform_real_distribution<>(-0.05, 0.05)(rng);
            const std::size_t piece = 1 + rng() % (n / 4 + 1);
            for (std::size_t i = 0; i < piece && pts.size() < n; ++i) {
                heading += turn;
                const double noise = 0.002 * std::uniform_real_distribution<>(-1, 1)(rng);
                if (rng() % 50 == 0) {
                    pts.push_back(pts.back());  // a stop
                    continue;
                }
                pts.push_back({pts.back().x + std::cos(heading) + noise,
                               pts.back().y + std::sin(heading) - noise});
            }
        }
        const Path2D path = Path2D::from_points(pts);
        for (const double max_rmse : {0.15, 0.02, 1e-3, -1.0, inf_value}) {
            std::vector<Segment> expected;
            reference::segments(path.x(), path.y(), 0, n, max_rmse, expected);
            EXPECT_EQ(path.find_circle_segments(0, n, max_rmse), expected)
                << n << " points, max_rmse " << max_rmse;
        }
    }
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
