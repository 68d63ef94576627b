// The distance profile's normal equations H x = b: banded, symmetric
// positive definite, bandwidth 3 in the order (s_0, v_0, s_1, v_1, ...)
// (H's entries: distance_profile_model.hpp), solved by LAPACK's band
// Cholesky in O(n); a speed held at 0 takes an identity row and column.
//
// A step much shorter than the others makes its interval's block stiff, up
// to (longest / shortest)^3 times the rest of H: the block's entries, rounded,
// then hold less than the rest of the system knows about the speeds, and the
// first solution's speeds can be off by far more than its distances. So the
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
// that does not halve from step to step, or is still larger after the most
// steps allowed, means the factor cannot resolve the problem.
constexpr double settled = 1e-13;
constexpr int max_refinements = 8;

bool holds(const std::vector<unsigned char>& flags, std::size_t i) {
    return !flags.empty() && flags[i] != 0;
}

double largest_magnitude(const std::vector<double>& values) {
    double largest = 0.0;
    for (const double v : values) largest = std::max(largest, std::fabs(v));
    return largest;
}

// What corrections are measured against: the solution, or the scaled
// data's extent (1), whichever is larger; a face that holds much of the
// profile at rest near the data's middle has a solution far smaller.
double scale(const std::vector<double>& x) { return std::max(1.0, largest_magnitude(x)); }

bool holds_box_constraints(const ProfileFace& face) {
    const auto any = [](const std::vector<unsigned char>& flags) {
        return std::any_of(flags.begin(), flags.end(), [](unsigned char f) { return f != 0; });
    };
    return any(face.leaving) || any(face.arriving);
}

}  // namespace

void profile_residual(const ScaledProfileProblem& problem, std::span<const double> x,
                      std::span<double> out) {
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

double profile_objective(const ScaledProfileProblem& problem, std::span<const double> x) {
    const std::size_t n = problem.size();
    double j = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double deviation = x[2 * i] - problem.target[i];
        j += problem.weight[i] * deviation * deviation;
    }
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double d = problem.step[k];
        const double e = (x[2 * k + 2] - x[2 * k]) - 0.5 * d * (x[2 * k + 1] + x[2 * k + 3]);
        const double turn = x[2 * k + 3] - x[2 * k + 1];
        j += problem.prior * (12.0 * e * e / (d * d * d) + turn * turn / d);
    }
    return j;
}

std::optional<FaceSolution> solve_on_face(const ScaledProfileProblem& problem,
                                          const ProfileFace& face) {
    if (holds_box_constraints(face)) return solve_on_kkt_face(problem, face);
    const std::size_t n = problem.size();
    const std::size_t columns = checked_mul(n, 2);
    if (columns > static_cast<std::size_t>(INT_MAX)) {
        throw InvalidArgumentError("fit_distance_profile: more samples than LAPACK can index");
    }
    check_allocation(checked_mul(columns, band_rows + 2), sizeof(double));
    std::vector<double> band(columns * band_rows, 0.0);
    const auto held = [&](std::size_t index) {
        return index % 2 == 1 && holds(face.zero_speed, index / 2);
    };
    for_each_hessian_entry(problem, [&](std::size_t row, std::size_t column, double value) {
        if (!held(row) && !held(column)) band[column * band_rows + (row - column)] += value;
    });
    for (std::size_t i = 0; i < n; ++i) {
        if (holds(face.zero_speed, i)) band[(2 * i + 1) * band_rows] = 1.0;
    }

    const int order = static_cast<int>(columns);
    const int nrhs = 1;
    // The band Cholesky of bandwidth 3 works in level-2 calls on a few rows:
    // OpenBLAS needs no work buffer, only the serialised access.
    const LapackSession session(band_rows);
    int info = 0;
    dpbtrf_("L", &order, &kd, band.data(), &ldab, &info, 1);
    if (info != 0) return std::nullopt;

    std::vector<double> x(columns, 0.0);
    std::vector<double> correction(columns);
    double previous = INFINITY;
    for (int step = 0;; ++step) {
        if (step == max_refinements) return std::nullopt;
        profile_residual(problem, x, correction);
        for (std::size_t i = 0; i < n; ++i) {
            if (holds(face.zero_speed, i)) correction[2 * i + 1] = 0.0;
        }
        dpbtrs_("L", &order, &kd, &nrhs, band.data(), &ldab, correction.data(), &order, &info, 1);
        for (std::size_t j = 0; j < columns; ++j) x[j] += correction[j];
        const double size = largest_magnitude(correction);
        if (!std::isfinite(size) || size > 0.5 * previous) return std::nullopt;
        if (size <= settled * scale(x)) break;
        previous = size;
    }

    // A held speed's multiplier is its row of H x - b.
    FaceSolution out{std::move(x), std::vector<double>(n, 0.0), std::vector<double>(n - 1, 0.0),
                     std::vector<double>(n - 1, 0.0)};
    if (face.zero_speed.empty()) return out;
    profile_residual(problem, out.x, correction);
    for (std::size_t i = 0; i < n; ++i) {
        if (holds(face.zero_speed, i)) out.speed_multiplier[i] = -correction[2 * i + 1];
    }
    return out;
}

}  // namespace velmora::detail
