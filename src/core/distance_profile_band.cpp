// The distance profile without constraints: its normal equations H x = b
// are banded, symmetric positive definite, bandwidth 3 in the order
// (s_0, v_0, s_1, v_1, ...), and LAPACK's band Cholesky solves them in O(n).
//
// With d = d_k, p = 1/q and the trapezoid residual
// e = s_{k+1} - s_k - d (v_k + v_{k+1}) / 2, the prior term of interval k is
//   r' Q^-1 r = p [12 e^2 / d^3 + (v_{k+1} - v_k)^2 / d],
// whose Hessian (half of it: H is that of J / 2) on (s_k, v_k, s_{k+1}, v_{k+1}) is
//   p [[ 12/d^3,  6/d^2, -12/d^3,  6/d^2],
//      [  6/d^2,  4/d,    -6/d^2,  2/d  ],
//      [-12/d^3, -6/d^2,  12/d^3, -6/d^2],
//      [  6/d^2,  2/d,    -6/d^2,  4/d  ]].
//
// A step much shorter than the others makes its interval's block stiff, up
// to (longest / shortest)^3 times the rest of H: the block's entries, rounded,
// then hold less than the rest of the system knows about the speeds, and the
// solution's speeds can be off by far more than its distances. So the
// solution is refined: the residual b - H x is computed from e and
// v_{k+1} - v_k, which are small where the block is stiff and so carry their
// own precision, and the factor solves for the correction. Where the factor
// is too poor for the corrections to shrink, the solve reports failure
// rather than a result that has not settled.

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/distance_profile_model.hpp"
#include "core/lapack.hpp"
#include "core/lapack_session.hpp"
#include "core/memory.hpp"
#include "velmora/error.hpp"

namespace velmora::detail {

namespace {

constexpr std::size_t band_rows = 4;  // the diagonal and three below it
constexpr int kd = static_cast<int>(band_rows) - 1;
constexpr int ldab = static_cast<int>(band_rows);

// A correction this small against the solution ends the refinement; one
// that does not halve from step to step, or still exceeds it after
// max_refinements, means the factor cannot resolve the problem.
constexpr double settled = 1e-13;
constexpr int max_refinements = 8;

// H's lower band in LAPACK's 'L' band storage (column j holds H(j, j) ..
// H(j + 3, j)), and b.
void assemble(const ScaledProfileProblem& problem, std::vector<double>& band,
              std::vector<double>& rhs) {
    const std::size_t n = problem.size();
    auto at = [&](std::size_t row, std::size_t column) -> double& {
        return band[column * band_rows + (row - column)];
    };
    for (std::size_t i = 0; i < n; ++i) {
        at(2 * i, 2 * i) += problem.weight[i];
        rhs[2 * i] = problem.weight[i] * problem.target[i];
    }
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double d = problem.step[k];
        const double a = 12.0 * problem.prior / (d * d * d);
        const double b = 6.0 * problem.prior / (d * d);
        const double c = 4.0 * problem.prior / d;
        const std::size_t s0 = 2 * k, v0 = s0 + 1, s1 = s0 + 2, v1 = s0 + 3;
        at(s0, s0) += a;
        at(v0, s0) += b;
        at(s1, s0) -= a;
        at(v1, s0) += b;
        at(v0, v0) += c;
        at(s1, v0) -= b;
        at(v1, v0) += 0.5 * c;
        at(s1, s1) += a;
        at(v1, s1) -= b;
        at(v1, v1) += c;
    }
}

// b - H x, each interval's part from its residuals e and v_{k+1} - v_k.
void residual(const ScaledProfileProblem& problem, const std::vector<double>& x,
              std::vector<double>& out) {
    const std::size_t n = problem.size();
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = problem.weight[i] * (problem.target[i] - x[2 * i]);
        out[2 * i + 1] = 0.0;
    }
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double d = problem.step[k];
        const double s0 = x[2 * k], v0 = x[2 * k + 1], s1 = x[2 * k + 2], v1 = x[2 * k + 3];
        const double e = (s1 - s0) - 0.5 * d * (v0 + v1);
        const double position = 12.0 * problem.prior * e / (d * d * d);
        const double half = 0.5 * d * position;
        const double turn = problem.prior * (v1 - v0) / d;
        out[2 * k] += position;
        out[2 * k + 1] += half + turn;
        out[2 * k + 2] -= position;
        out[2 * k + 3] += half - turn;
    }
}

double largest_magnitude(const std::vector<double>& values) {
    double largest = 0.0;
    for (const double v : values) largest = std::max(largest, std::fabs(v));
    return largest;
}

}  // namespace

std::optional<std::vector<double>> solve_unconstrained_profile(
    const ScaledProfileProblem& problem) {
    const std::size_t columns = checked_mul(problem.size(), 2);
    if (columns > static_cast<std::size_t>(INT_MAX)) {
        throw InvalidArgumentError("fit_distance_profile: more samples than LAPACK can index");
    }
    check_allocation(checked_mul(columns, band_rows + 2), sizeof(double));
    std::vector<double> band(columns * band_rows, 0.0);
    std::vector<double> x(columns, 0.0);
    assemble(problem, band, x);

    const int order = static_cast<int>(columns);
    const int nrhs = 1;
    // The band Cholesky of bandwidth 3 works in level-2 calls on a few rows:
    // OpenBLAS needs no work buffer, only the serialised access.
    const LapackSession session(band_rows);
    int info = 0;
    dpbtrf_("L", &order, &kd, band.data(), &ldab, &info, 1);
    if (info != 0) return std::nullopt;
    dpbtrs_("L", &order, &kd, &nrhs, band.data(), &ldab, x.data(), &order, &info, 1);

    std::vector<double> correction(columns);
    double previous = INFINITY;
    for (int step = 0; step < max_refinements; ++step) {
        residual(problem, x, correction);
        dpbtrs_("L", &order, &kd, &nrhs, band.data(), &ldab, correction.data(), &order, &info, 1);
        for (std::size_t j = 0; j < columns; ++j) x[j] += correction[j];
        const double size = largest_magnitude(correction);
        if (!std::isfinite(size) || size > 0.5 * previous) return std::nullopt;
        if (size <= settled * largest_magnitude(x)) return x;
        previous = size;
    }
    return std::nullopt;
}

}  // namespace velmora::detail
