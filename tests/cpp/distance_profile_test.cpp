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

}  // namespace
