// The distance profile's normal equations H x = b: banded, symmetric
// positive definite, bandwidth 3 in the order (s_0, v_0, s_1, v_1, ...),
// solved by LAPACK's band Cholesky in O(n); and the same on a face of the
// monotone constraints.
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
// first solution's speeds can be off by far more than its distances. So the
// solution is refined: the residual b - H x is computed from e and
// v_{k+1} - v_k, which are small where the block is stiff and so carry their
// own precision, and the factor solves for the correction. Where the factor
// is too poor for the corrections to shrink, the solve reports failure
// rather than a result that has not settled.
//
// On a face, a speed held at 0 takes an identity row and column, and the
// held box constraints (rows a_j of A: a_j x = 3 (s_{k+1} - s_k) - d_k v,
// v = v_k or v_{k+1}) are met by the method of multipliers:
// (H + A' R A) x = b - A' y with a stiff diagonal R, then y += R A x, until
// A x vanishes. Each row lies within one interval, so the band stays as it
// is, and so does the refinement, which treats R's terms as it treats a
// stiff interval.

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

// A box constraint held on the face: interval k, and its speed, v_k or v_{k+1}.
struct HeldRow {
    std::size_t interval;
    std::size_t speed;  // the index of v in x
    double stiffness;   // R_j
    double multiplier;  // y_j
};

// A correction (or a gap A x) this small against the solution ends the
// refinement (the multiplier updates); one that does not halve from step to
// step, or is still larger after the most steps allowed, means the factor
// cannot resolve the problem.
constexpr double settled = 1e-13;
constexpr double settled_multipliers = 1e-10;
constexpr double rounded = 1e-15;
constexpr int max_refinements = 8;
constexpr int max_multiplier_updates = 200;
// R against the diagonal of H at the interval: stiff enough that a few
// updates of the multipliers meet the held rows, within what the refinement
// resolves (at 1e12 its corrections stalled on trips of 100,000 samples).
constexpr double held_stiffness = 1e8;
constexpr double max_range = 1e12;

bool holds(const std::vector<unsigned char>& flags, std::size_t i) {
    return !flags.empty() && flags[i] != 0;
}

double largest_magnitude(const std::vector<double>& values) {
    double largest = 0.0;
    for (const double v : values) largest = std::max(largest, std::fabs(v));
    return largest;
}

// What corrections and gaps are measured against: the solution, or the
// scaled data's extent (1), whichever is larger; a face that holds most of
// the profile at rest near the data's middle has a solution far smaller.
double scale(const std::vector<double>& x) { return std::max(1.0, largest_magnitude(x)); }

class FaceSystem {
public:
    FaceSystem(const ScaledProfileProblem& problem, const ProfileFace& face)
        : problem_(problem), face_(face), columns_(checked_mul(problem.size(), 2)) {
        if (columns_ > static_cast<std::size_t>(INT_MAX)) {
            throw InvalidArgumentError("fit_distance_profile: more samples than LAPACK can index");
        }
        check_allocation(checked_mul(columns_, band_rows + 3), sizeof(double));
        band_.assign(columns_ * band_rows, 0.0);
        assemble_h();
        hold_face();
    }

    std::optional<FaceSolution> solve() {
        const int order = static_cast<int>(columns_);
        // The band Cholesky of bandwidth 3 works in level-2 calls on a few
        // rows: OpenBLAS needs no work buffer, only the serialised access.
        const LapackSession session(band_rows);
        int info = 0;
        dpbtrf_("L", &order, &kd, band_.data(), &ldab, &info, 1);
        if (info != 0) return std::nullopt;

        std::vector<double> x(columns_, 0.0);
        std::vector<double> correction(columns_);
        for (int update = 0; update < max_multiplier_updates; ++update) {
            double previous = INFINITY;
            for (int step = 0;; ++step) {
                if (step == max_refinements) return std::nullopt;
                face_residual(x, correction);
                const int nrhs = 1;
                dpbtrs_("L", &order, &kd, &nrhs, band_.data(), &ldab, correction.data(), &order,
                        &info, 1);
                for (std::size_t j = 0; j < columns_; ++j) x[j] += correction[j];
                const double size = largest_magnitude(correction);
                if (!std::isfinite(size) || size > 0.5 * previous) return std::nullopt;
                if (size <= settled * scale(x)) break;
                previous = size;
            }
            // Small gaps still leave each multiplier off by about what the
            // update moved it: done when that is small against the forces,
            // or the gaps are down to their rounding.
            const Update moved = update_multipliers(x);
            if (moved.gap <= settled * scale(x) &&
                (moved.change <= settled_multipliers * force_scale(x) ||
                 moved.gap <= rounded * scale(x))) {
                return solution(std::move(x));
            }
        }
        return std::nullopt;
    }

private:
    double& at(std::size_t row, std::size_t column) {
        return band_[column * band_rows + (row - column)];
    }

    void assemble_h() {
        const std::size_t n = problem_.size();
        for (std::size_t i = 0; i < n; ++i) at(2 * i, 2 * i) += problem_.weight[i];
        for (std::size_t k = 0; k + 1 < n; ++k) {
            const double d = problem_.step[k];
            const double a = 12.0 * problem_.prior / (d * d * d);
            const double b = 6.0 * problem_.prior / (d * d);
            const double c = 4.0 * problem_.prior / d;
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

    void add_symmetric(std::size_t i, std::size_t j, double value) {
        at(std::max(i, j), std::min(i, j)) += value;
    }

    // a_j x, with a_j = 3 (e_{s_{k+1}} - e_{s_k}) - d_k e_v.
    double row_value(const HeldRow& row, const std::vector<double>& x) const {
        const std::size_t k = row.interval;
        return 3.0 * (x[2 * k + 2] - x[2 * k]) - problem_.step[k] * x[row.speed];
    }

    void hold_face() {
        const std::size_t n = problem_.size();
        // R from H's own diagonal, all of it before any is added, and no
        // more than widens H's range of scales to 1e12: at a step far shorter
        // than the rest H is stiff already, and stiffer still the factor
        // loses what the data say.
        double softest = INFINITY;
        for (std::size_t k = 0; k < n; ++k) softest = std::min(softest, at(2 * k, 2 * k));
        for (std::size_t k = 0; k + 1 < n; ++k) {
            const double local = std::max(at(2 * k, 2 * k), at(2 * k + 2, 2 * k + 2));
            const double r =
                std::min(held_stiffness * local, std::max(local, max_range * softest)) / 9.0;
            if (holds(face_.leaving, k)) rows_.push_back({k, 2 * k + 1, r, 0.0});
            if (holds(face_.arriving, k)) rows_.push_back({k, 2 * k + 3, r, 0.0});
        }
        for (const HeldRow& row : rows_) {
            const std::size_t s0 = 2 * row.interval, s1 = s0 + 2, v = row.speed;
            const double d = problem_.step[row.interval], r = row.stiffness;
            add_symmetric(s0, s0, 9.0 * r);
            add_symmetric(s1, s1, 9.0 * r);
            add_symmetric(s1, s0, -9.0 * r);
            add_symmetric(v, v, d * d * r);
            add_symmetric(v, s0, 3.0 * d * r);
            add_symmetric(v, s1, -3.0 * d * r);
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (!holds(face_.zero_speed, i)) continue;
            const std::size_t v = 2 * i + 1;
            for (std::size_t j = v - std::min<std::size_t>(v, kd); j < v; ++j) at(v, j) = 0.0;
            for (std::size_t j = v + 1; j < std::min(columns_, v + band_rows); ++j) at(j, v) = 0.0;
            at(v, v) = 1.0;
        }
    }

    // b - H x: the data's part from each sample's deviation, each interval's
    // part from its residuals e and v_{k+1} - v_k.
    void residual(const std::vector<double>& x, std::vector<double>& out) const {
        const std::size_t n = problem_.size();
        for (std::size_t i = 0; i < n; ++i) {
            out[2 * i] = problem_.weight[i] * (problem_.target[i] - x[2 * i]);
            out[2 * i + 1] = 0.0;
        }
        for (std::size_t k = 0; k + 1 < n; ++k) {
            const double d = problem_.step[k];
            const double s0 = x[2 * k], v0 = x[2 * k + 1], s1 = x[2 * k + 2], v1 = x[2 * k + 3];
            const double e = (s1 - s0) - 0.5 * d * (v0 + v1);
            const double position = 12.0 * problem_.prior * e / (d * d * d);
            const double half = 0.5 * d * position;
            const double turn = problem_.prior * (v1 - v0) / d;
            out[2 * k] += position;
            out[2 * k + 1] += half + turn;
            out[2 * k + 2] -= position;
            out[2 * k + 3] += half - turn;
        }
    }

    // Subtracts A' f from out, with f_j = y_j + R_j a_j x, or y_j alone
    // when the multipliers have already taken this x's gaps.
    void subtract_row_forces(const std::vector<double>& x, std::vector<double>& out,
                             bool with_gaps) const {
        for (const HeldRow& row : rows_) {
            const std::size_t k = row.interval;
            const double force =
                row.multiplier + (with_gaps ? row.stiffness * row_value(row, x) : 0.0);
            out[2 * k] += 3.0 * force;
            out[2 * k + 2] -= 3.0 * force;
            out[row.speed] += problem_.step[k] * force;
        }
    }

    // The face system's b - A' y - (H + A' R A) x, 0 in the rows of held speeds.
    void face_residual(const std::vector<double>& x, std::vector<double>& out) const {
        residual(x, out);
        subtract_row_forces(x, out, true);
        for (std::size_t i = 0; i < problem_.size(); ++i) {
            if (holds(face_.zero_speed, i)) out[2 * i + 1] = 0.0;
        }
    }

    struct Update {
        double gap;     // the largest |a_j x|
        double change;  // the largest |R_j a_j x|
    };

    // y += R A x.
    Update update_multipliers(const std::vector<double>& x) {
        Update largest{0.0, 0.0};
        for (HeldRow& row : rows_) {
            const double gap = row_value(row, x);
            row.multiplier += row.stiffness * gap;
            largest.gap = std::max(largest.gap, std::fabs(gap));
            largest.change = std::max(largest.change, std::fabs(row.stiffness * gap));
        }
        return largest;
    }

    // The largest force on a sample: of its data term, or of a held row.
    double force_scale(const std::vector<double>& x) const {
        double largest = 0.0;
        for (std::size_t i = 0; i < problem_.size(); ++i) {
            largest =
                std::max(largest, problem_.weight[i] * std::fabs(problem_.target[i] - x[2 * i]));
        }
        for (const HeldRow& row : rows_) largest = std::max(largest, std::fabs(row.multiplier));
        return largest;
    }

    // With y the multipliers of A x = 0 and l those of the held speeds,
    // H x - b = -A' y + sum of l_i e_{v_i} at the solution: -y_j is the
    // multiplier of a_j x >= 0, and l_i is the row v_i of H x - b + A' y,
    // which the held rows leave out of the face system.
    FaceSolution solution(std::vector<double> x) const {
        const std::size_t n = problem_.size();
        const std::size_t intervals = n - 1;
        FaceSolution out{std::move(x), std::vector<double>(n, 0.0),
                         std::vector<double>(intervals, 0.0), std::vector<double>(intervals, 0.0)};
        for (const HeldRow& row : rows_) {
            const bool leaving = row.speed == 2 * row.interval + 1;
            (leaving ? out.leaving_multiplier : out.arriving_multiplier)[row.interval] =
                -row.multiplier;
        }
        if (face_.zero_speed.empty()) return out;
        std::vector<double> r(columns_);
        residual(out.x, r);
        subtract_row_forces(out.x, r, false);
        for (std::size_t i = 0; i < n; ++i) {
            if (holds(face_.zero_speed, i)) out.speed_multiplier[i] = -r[2 * i + 1];
        }
        return out;
    }

    const ScaledProfileProblem& problem_;
    const ProfileFace& face_;
    std::size_t columns_;
    std::vector<double> band_;
    std::vector<HeldRow> rows_;
};

}  // namespace

std::optional<FaceSolution> solve_on_face(const ScaledProfileProblem& problem,
                                          const ProfileFace& face) {
    FaceSystem system(problem, face);
    return system.solve();
}

}  // namespace velmora::detail
