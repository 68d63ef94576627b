#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velmora/distance_profile.hpp"
#include "velmora/error.hpp"

namespace {

using velmora::DistanceProfile;
using velmora::fit_distance_profile;
using velmora::qp::SolverError;
using velmora::testing::inf_value;
using velmora::testing::internal_error;
using velmora::testing::nan_value;

struct Samples {
    std::vector<double> t;
    std::vector<double> z;
    std::vector<double> sigma;
    double q = 1.0;

    std::size_t size() const { return t.size(); }
};

std::variant<DistanceProfile, SolverError> fit(const Samples& c, bool monotone) {
    return fit_distance_profile(c.t, c.z, c.sigma, c.q, monotone);
}

DistanceProfile fitted(const Samples& c, bool monotone) {
    auto result = fit(c, monotone);
    if (const auto* error = std::get_if<SolverError>(&result)) {
        ADD_FAILURE() << "solver error " << static_cast<int>(*error);
        return {};
    }
    return std::get<DistanceProfile>(std::move(result));
}

// The reference model, written from J's definition: Q_k inverted numerically,
// in long double, nothing shared with the library.
using Real = long double;

std::array<Real, 3> prior_inverse(double q, double d) {  // (Q^-1)_11, _12, _22
    const Real a = Real(q) * d * d * d / 3, b = Real(q) * d * d / 2, c = Real(q) * d;
    const Real det = a * c - b * b;
    return {c / det, -b / det, a / det};
}

// J and its gradient at the interleaved x = (s_0, v_0, s_1, v_1, ...).
Real objective(const Samples& c, const std::vector<Real>& x, std::vector<Real>* gradient) {
    const std::size_t n = c.size();
    if (gradient) gradient->assign(2 * n, 0);
    Real j = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Real w = 1 / (Real(c.sigma[i]) * c.sigma[i]);
        const Real e = x[2 * i] - c.z[i];
        j += w * e * e;
        if (gradient) (*gradient)[2 * i] += 2 * w * e;
    }
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double d = c.t[k + 1] - c.t[k];
        const auto [w11, w12, w22] = prior_inverse(c.q, d);
        const Real r1 = x[2 * k + 2] - x[2 * k] - x[2 * k + 1] * d;
        const Real r2 = x[2 * k + 3] - x[2 * k + 1];
        j += w11 * r1 * r1 + 2 * w12 * r1 * r2 + w22 * r2 * r2;
        if (gradient) {
            const Real g1 = 2 * (w11 * r1 + w12 * r2), g2 = 2 * (w12 * r1 + w22 * r2);
            (*gradient)[2 * k] -= g1;
            (*gradient)[2 * k + 1] -= g1 * d + g2;
            (*gradient)[2 * k + 2] += g1;
            (*gradient)[2 * k + 3] += g2;
        }
    }
    return j;
}

std::vector<Real> interleaved(const DistanceProfile& p) {
    std::vector<Real> x;
    for (std::size_t i = 0; i < p.distance.size(); ++i) {
        x.push_back(p.distance[i]);
        x.push_back(p.speed[i]);
    }
    return x;
}

// The unconstrained minimiser: J is quadratic, so its Hessian columns are
// gradient differences; the dense system is solved by Gaussian elimination.
std::vector<Real> dense_minimiser(const Samples& c) {
    const std::size_t m = 2 * c.size();
    std::vector<Real> zero(m, 0), g0, gj;
    objective(c, zero, &g0);
    std::vector<std::vector<Real>> a(m, std::vector<Real>(m + 1));
    for (std::size_t j = 0; j < m; ++j) {
        std::vector<Real> unit(m, 0);
        unit[j] = 1;
        objective(c, unit, &gj);
        for (std::size_t i = 0; i < m; ++i) a[i][j] = gj[i] - g0[i];
    }
    for (std::size_t i = 0; i < m; ++i) a[i][m] = -g0[i];
    for (std::size_t col = 0; col < m; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < m; ++r) {
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        }
        std::swap(a[col], a[pivot]);
        for (std::size_t r = col + 1; r < m; ++r) {
            const Real f = a[r][col] / a[col][col];
            for (std::size_t k = col; k <= m; ++k) a[r][k] -= f * a[col][k];
        }
    }
    std::vector<Real> x(m);
    for (std::size_t i = m; i-- > 0;) {
        Real sum = a[i][m];
        for (std::size_t k = i + 1; k < m; ++k) sum -= a[i][k] * x[k];
        x[i] = sum / a[i][i];
    }
    return x;
}

Real max_abs_difference(const std::vector<Real>& a, const std::vector<Real>& b) {
    Real worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

Samples random_samples(std::mt19937& rng, std::size_t n) {
    std::uniform_real_distribution<double> step(0.05, 4.0), noise(0.2, 3.0), jump(-2.0, 6.0);
    Samples c;
    c.q = std::exp(std::uniform_real_distribution<double>(-4.0, 3.0)(rng));
    double t = std::uniform_real_distribution<double>(-100.0, 100.0)(rng), z = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        c.t.push_back(t);
        c.z.push_back(z);
        c.sigma.push_back(noise(rng));
        t += step(rng);
        z += jump(rng);
    }
    return c;
}

TEST(DistanceProfile, DirectSolveIsTheDenseMinimiserOfJ) {
    std::mt19937 rng(7);
    for (const std::size_t n : {2, 3, 4, 9, 40}) {
        for (int repeat = 0; repeat < 4; ++repeat) {
            const Samples c = random_samples(rng, n);
            const std::vector<Real> expected = dense_minimiser(c);
            const std::vector<Real> got = interleaved(fitted(c, false));
            Real scale = 0;
            for (const Real v : expected) scale = std::max(scale, std::fabs(v));
            EXPECT_LE(max_abs_difference(got, expected), 1e-9 * scale) << "n " << n;
        }
    }
}

// Linear motion met by every sample (tiny noise) is its own posterior mean.
TEST(DistanceProfile, LinearMotionComesBackAsItself) {
    struct Case {
        const char* name;
        double step;  // seconds; negative: alternate 1 ms and |step|
        std::size_t n;
        double start;
        double speed;
        double q;
        bool monotone;
    };
    const std::vector<Case> cases = {
        {"1 Hz", 1.0, 100, 3.0, 1.5, 0.5, false},
        {"backwards", 1.0, 100, 3.0, -1.5, 0.5, false},
        {"1 ms steps", 1e-3, 5000, 0.0, 12.0, 1.0, true},
        {"2 h steps", 7200.0, 60, 0.0, 0.4, 1e-4, true},
        {"1e7 m away", 1.0, 200, 1e7, 8.0, 0.1, true},
        {"reaching 1e7 m", 600.0, 100, 0.0, 1e7 / 6e4, 1.0, true},
        {"1 ms and 1 h mixed", -3600.0, 200, 5e6, 3.0, 1.0, true},
    };
    for (const Case& c : cases) {
        Samples s;
        double t = 1.7e9;  // Unix seconds, as recordings give them
        for (std::size_t i = 0; i < c.n; ++i) {
            s.t.push_back(t);
            t += c.step > 0 ? c.step : (i % 2 == 0 ? 1e-3 : -c.step);
        }
        for (const double ti : s.t) s.z.push_back(c.start + c.speed * (ti - s.t[0]));
        s.sigma.assign(c.n, 1e-3);
        s.q = c.q;
        const DistanceProfile p = fitted(s, c.monotone);
        ASSERT_EQ(p.distance.size(), c.n) << c.name;
        const double extent = std::fabs(s.z.back() - s.z.front());
        for (std::size_t i = 0; i < c.n; ++i) {
            EXPECT_NEAR(p.distance[i], s.z[i], 1e-9 * extent) << c.name << " sample " << i;
            EXPECT_NEAR(p.speed[i], c.speed, 1e-9 * std::fabs(c.speed)) << c.name << " " << i;
        }
    }
}

// Recordings that stop or hesitate: without constraints the profile runs
// backwards, at the samples or (a hesitation: every sample further than the
// last) only between them.
Samples stopping(const char* kind, unsigned seed) {
    if (std::string(kind) == "hesitation") {
        return {{0, 1, 2, 3, 4, 5, 6, 7},
                {0, 10, 20, 30, 30.5 + 0.1 * seed, 40.5, 50.5, 60.5},
                std::vector<double>(8, 0.1),
                10.0};
    }
    std::mt19937 rng(seed);
    std::normal_distribution<double> unit(0.0, 1.0);
    Samples c;
    const std::string k = kind;
    const std::size_t n = k == "standstill" ? 50 : 90;
    double t = 0.0, truth = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double sigma = k == "irregular" ? 0.5 + 0.05 * double(i % 7) : 1.0;
        c.t.push_back(t);
        c.sigma.push_back(sigma);
        c.z.push_back(truth + sigma * unit(rng));
        double step = k == "irregular" ? 0.2 + 29.8 * double((i * 7919) % 13) / 12.0 : 1.0;
        if (k == "gaps" && i % 10 == 9) step = 300.0;
        double speed = 0.0;
        if (k == "stop and go") speed = (i < 30 || i >= 60) ? 2.5 : 0.0;
        if (k == "hard stop") speed = i < 45 ? 10.0 : 0.0;
        if (k == "irregular" || k == "gaps") speed = (i < 30 || i >= 60) ? 0.8 : 0.0;
        t += step;
        truth += speed * step;
    }
    c.q = k == "hard stop" ? 2.0 : 0.3;
    return c;
}

// Whether the profile goes backwards anywhere: at a sample, or between two,
// where it is the cubic Hermite through (s_k, v_k) and (s_{k+1}, v_{k+1}).
// Its derivative there is a quadratic with Bernstein coefficients v_k,
// 3 (s_{k+1} - s_k) / d - v_k - v_{k+1} and v_{k+1}, never negative on the
// interval exactly when the middle one is at least -sqrt(v_k v_{k+1}).
bool runs_backwards(const Samples& c, const DistanceProfile& p) {
    for (std::size_t i = 0; i < p.speed.size(); ++i) {
        if (p.speed[i] < 0.0 || (i > 0 && p.distance[i] < p.distance[i - 1])) return true;
        if (i == 0) continue;
        const Real d = c.t[i] - c.t[i - 1], a = p.speed[i - 1], b = p.speed[i];
        const Real middle = 3 * (Real(p.distance[i]) - p.distance[i - 1]) / d - a - b;
        // Beyond the rounding of the distances to their own precision.
        if (middle + std::sqrt(a * b) < -1e-9 * (a + b)) return true;
    }
    return false;
}

// A profile moved onto the monotone side: speeds at least 0, distances
// never falling, and each interval's end speeds within the box the QP keeps.
std::vector<Real> made_monotone(const Samples& c, std::vector<Real> x) {
    for (std::size_t i = 0; i < c.size(); ++i) {
        x[2 * i + 1] = std::max(x[2 * i + 1], Real(0));
        if (i > 0) x[2 * i] = std::max(x[2 * i], x[2 * i - 2]);
    }
    for (std::size_t k = 0; k + 1 < c.size(); ++k) {
        const Real cap = 3 * (x[2 * k + 2] - x[2 * k]) / (c.t[k + 1] - c.t[k]);
        x[2 * k + 1] = std::min(x[2 * k + 1], cap);
        x[2 * k + 3] = std::min(x[2 * k + 3], cap);
    }
    return x;
}

TEST(DistanceProfile, MonotoneProfileIsTheConstrainedMinimiser) {
    for (const char* kind :
         {"stop and go", "standstill", "hard stop", "irregular", "gaps", "hesitation"}) {
        for (unsigned seed : {1u, 2u, 3u}) {
            const Samples c = stopping(kind, seed);
            const DistanceProfile free = fitted(c, false);
            ASSERT_TRUE(runs_backwards(c, free)) << kind << seed << ": the QP would not be needed";
            const DistanceProfile p = fitted(c, true);
            ASSERT_EQ(p.distance.size(), c.size());
            EXPECT_FALSE(runs_backwards(c, p)) << kind << seed;

            // No feasible candidate does better: the free profile made
            // feasible, and every move of one distance or speed either way
            // (beyond the rounding of J; Clarabel's own solution fails this
            // by up to 1.6e-6 of J).
            const std::vector<Real> x = interleaved(p);
            const Real j = objective(c, x, nullptr);
            EXPECT_LE(j, objective(c, made_monotone(c, interleaved(free)), nullptr))
                << kind << seed;
            const double extent = *std::max_element(c.z.begin(), c.z.end()) -
                                  *std::min_element(c.z.begin(), c.z.end());
            const double step = 1e-7 * extent, speed_step = step / (c.t[1] - c.t[0]);
            for (std::size_t m = 0; m < x.size(); ++m) {
                for (const double sign : {-1.0, 1.0}) {
                    std::vector<Real> y = x;
                    y[m] += sign * (m % 2 == 0 ? step : speed_step);
                    EXPECT_GE(objective(c, made_monotone(c, y), nullptr), j * (1 - 1e-13))
                        << kind << seed << (m % 2 == 0 ? " distance " : " speed ") << m / 2;
                }
            }
        }
    }
}

TEST(DistanceProfile, PreconditionsNameWhatIsWrong) {
    struct Case {
        std::vector<double> t, z, sigma;
        double q;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{0, 1}, {0, 1, 2}, {1, 1}, 1.0, "time, distance and noise differ in length (2, 3 and 2)"},
        {{0, 1}, {0, 1}, {1}, 1.0, "time, distance and noise differ in length (2, 2 and 1)"},
        {{}, {}, {}, 1.0, "needs at least 1 sample (got 0)"},
        {{0}, {0}, {1}, 0.0, "acceleration_density must be finite and > 0 (got 0)"},
        {{0}, {0}, {1}, -2.5, "acceleration_density must be finite and > 0 (got -2.5)"},
        {{0}, {0}, {1}, nan_value, "acceleration_density must be finite and > 0 (got nan)"},
        {{0}, {0}, {1}, inf_value, "acceleration_density must be finite and > 0 (got inf)"},
        {{0, nan_value}, {0, 1}, {1, 1}, 1.0, "time[1] is not finite (nan)"},
        {{-inf_value, 0}, {0, 1}, {1, 1}, 1.0, "time[0] is not finite (-inf)"},
        {{0, 1, 1},
         {0, 1, 2},
         {1, 1, 1},
         1.0,
         "times must increase strictly, but time[2] = 1 follows time[1] = 1"},
        {{0, 2, 1.5},
         {0, 1, 2},
         {1, 1, 1},
         1.0,
         "times must increase strictly, but time[2] = 1.5 follows time[1] = 2"},
        {{0, 1}, {0, inf_value}, {1, 1}, 1.0, "distance[1] is not finite (inf)"},
        {{0, 1}, {0, 1}, {1, 0}, 1.0, "noise[1] must be finite and > 0 (got 0)"},
        {{0, 1}, {0, 1}, {-1, 1}, 1.0, "noise[0] must be finite and > 0 (got -1)"},
        {{0, 1}, {0, 1}, {1, nan_value}, 1.0, "noise[1] must be finite and > 0 (got nan)"},
        {{0, 1}, {0, 1}, {inf_value, 1}, 1.0, "noise[0] must be finite and > 0 (got inf)"},
    };
    for (const Case& c : cases) {
        for (const bool monotone : {false, true}) {
            EXPECT_EQ(internal_error(
                          [&] { (void)fit_distance_profile(c.t, c.z, c.sigma, c.q, monotone); }),
                      std::string("fit_distance_profile: ") + c.message);
        }
    }
    // The kind, for C++ callers that tell errors apart.
    EXPECT_THROW((void)fit_distance_profile({}, {}, {}, 1.0, false), velmora::InvalidArgumentError);
}

// The same motion in other units: 1 ms or 2 h steps, 1e7 m away, 1e4 times larger or
// smaller, or all at once. Each must come out as the base case: the
// solvers' units follow the data's, and q, the noise and the speeds are
// converted with them.
TEST(DistanceProfile, UnitsAndOffsetsDoNotChangeTheProfile) {
    struct Case {
        const char* name;
        double time_scale, length_scale, offset;
    };
    const std::vector<Case> cases = {
        {"1 ms steps", 1e-3, 1.0, 0.0},
        {"2 h steps", 7200.0, 1.0, 0.0},
        {"1e7 m away", 1.0, 1.0, 1e7},
        {"thousands of km", 1.0, 1e4, 0.0},
        {"1 ms steps, 1e4 away, 1e3 times smaller", 1e-3, 1e-3, 1e4},
    };
    for (const bool monotone : {false, true}) {
        const Samples base = stopping("stop and go", 4);
        const DistanceProfile expected = fitted(base, monotone);
        const double extent = *std::max_element(base.z.begin(), base.z.end()) -
                              *std::min_element(base.z.begin(), base.z.end());
        const double speed = extent / (base.t.back() - base.t.front());
        for (const Case& c : cases) {
            Samples scaled = base;
            for (double& t : scaled.t) t *= c.time_scale;
            for (double& z : scaled.z) z = c.offset + z * c.length_scale;
            for (double& s : scaled.sigma) s *= c.length_scale;
            scaled.q = base.q * c.length_scale * c.length_scale /
                       (c.time_scale * c.time_scale * c.time_scale);
            const DistanceProfile p = fitted(scaled, monotone);
            ASSERT_EQ(p.distance.size(), base.size()) << c.name;
            // About what rounding the inputs to 1e7 m leaves (2e-9 m in 150 m).
            const double tolerance = 1e-8;
            for (std::size_t i = 0; i < base.size(); ++i) {
                EXPECT_NEAR((p.distance[i] - c.offset) / c.length_scale, expected.distance[i],
                            tolerance * extent)
                    << c.name << " monotone " << monotone << " sample " << i;
                EXPECT_NEAR(p.speed[i] * c.time_scale / c.length_scale, expected.speed[i],
                            tolerance * speed)
                    << c.name << " monotone " << monotone << " sample " << i;
            }
        }
    }
}

TEST(DistanceProfile, EdgesOfTheProblem) {
    // One sample, or samples that all agree: met exactly, at rest.
    for (const bool monotone : {false, true}) {
        const DistanceProfile one = fitted({{3.0}, {7.5}, {2.0}, 1.0}, monotone);
        EXPECT_EQ(one.distance, std::vector<double>{7.5});
        EXPECT_EQ(one.speed, std::vector<double>{0.0});
        const DistanceProfile rest = fitted({{0, 1, 5}, {4, 4, 4}, {1, 2, 3}, 0.1}, monotone);
        EXPECT_EQ(rest.distance, (std::vector<double>{4, 4, 4}));
        EXPECT_EQ(rest.speed, (std::vector<double>{0, 0, 0}));
    }
    // Normal equations that no longer say what the input does are a
    // failure, not a profile: noise that drowns every sample's weight, or
    // the prior's, or a smoothing far beyond what the factor resolves.
    const std::vector<Samples> unsolvable = {
        {{0, 1, 2}, {0, 1, 2}, {1e300, 1e300, 1e300}, 1.0},
        {{0, 1, 2}, {0, 1, 2}, {1e300, 1e300, 1.0}, 1.0},
        {{0, 1, 2}, {0, 1, 2}, {1.0, 1.0, 1.0}, 1e-320},
        {{0, 1, 2}, {0, 1, 2}, {1e-200, 1.0, 1.0}, 1.0},
        {{0, 1, 2, 3, 4}, {0, 1.2, 1.9, 3.1, 4}, {1.0, 1.0, 1.0, 1.0, 1.0}, 1e-30},
    };
    for (const Samples& c : unsolvable) {
        for (const bool monotone : {false, true}) {
            const auto result = fit(c, monotone);
            ASSERT_TRUE(std::holds_alternative<SolverError>(result)) << c.sigma[0] << " " << c.q;
            EXPECT_EQ(std::get<SolverError>(result), SolverError::NotSolved);
        }
    }
}

}  // namespace
