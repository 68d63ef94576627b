// J minimised on a face that holds box constraints: the KKT system
//   [H  A'S] [x ]   [b]
//   [SA  0 ] [y'] = [0],   multipliers y = S y', H x - b = -A' y,
// with A the held rows a_j x = 3 (s_{k+1} - s_k) - d_k v and S a diagonal
// that brings them to H's scale. In the order (s_k, v_k, y_leaving_k,
// y_arriving_k) sample by sample it is banded with 5 diagonals either side;
// LAPACK's band LU with partial pivoting factors it in O(n). As for the
// normal equations (distance_profile_band.cpp), the solution is refined with
// the residual computed from each interval's own residuals, since the
// factor of a stiff system is only a good approximation.
//
// The held rows must be independent, or the system is singular
// (distance_profile_active_set.cpp keeps them so).

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

constexpr int kl = 5;
constexpr int ku = 5;
constexpr int ldab = 2 * kl + ku + 1;  // with room for the fill-in of pivoting

// Corrections this small against the solution (x) and the largest force
// (the multipliers) end the refinement; ones that do not halve from step to
// step, or are still larger after the most steps allowed, mean the factor
// cannot resolve the problem.
constexpr double settled = 1e-13;
constexpr double settled_multipliers = 1e-11;
constexpr int max_refinements = 10;

bool holds(const std::vector<unsigned char>& flags, std::size_t i) {
    return !flags.empty() && flags[i] != 0;
}

// A held box constraint: interval k, the index of its speed in x, its scale.
struct HeldRow {
    std::size_t interval;
    std::size_t speed;
    double scale;
};

class KktSystem {
public:
    KktSystem(const ScaledProfileProblem& problem, const ProfileFace& face)
        : problem_(problem), face_(face), n_(problem.size()), order_(checked_mul(n_, 4)) {
        if (order_ > static_cast<std::size_t>(INT_MAX)) {
            throw InvalidArgumentError("fit_distance_profile: more samples than LAPACK can index");
        }
        check_allocation(checked_mul(order_, ldab + 4), sizeof(double));
        band_.assign(order_ * ldab, 0.0);
        pivots_.assign(order_, 0);
        assemble();
    }

    std::optional<FaceSolution> solve() {
        const int order = static_cast<int>(order_);
        // The band LU of so narrow a band works in level-2 calls on a few rows:
        // OpenBLAS needs no work buffer, only the serialised access.
        const LapackSession session(static_cast<std::size_t>(ldab));
        int info = 0;
        dgbtrf_(&order, &order, &kl, &ku, band_.data(), &ldab, pivots_.data(), &info);
        if (info != 0) return std::nullopt;

        std::vector<double> z(order_, 0.0);  // (s_k, v_k, y'_leaving_k, y'_arriving_k)
        std::vector<double> r(order_);
        double previous = INFINITY;
        for (int step = 0;; ++step) {
            if (step == max_refinements) return std::nullopt;
            residual(z, r);
            const int nrhs = 1;
            dgbtrs_("N", &order, &kl, &ku, &nrhs, band_.data(), &ldab, pivots_.data(), r.data(),
                    &order, &info, 1);
            double dx = 0.0, dy = 0.0, x_scale = 1.0, forces = 0.0;
            for (std::size_t j = 0; j < order_; ++j) z[j] += r[j];
            for (std::size_t i = 0; i < n_; ++i) {
                for (std::size_t m = 4 * i; m < 4 * i + 2; ++m) {
                    dx = std::max(dx, std::fabs(r[m]));
                    x_scale = std::max(x_scale, std::fabs(z[m]));
                }
                forces =
                    std::max(forces, problem_.weight[i] * std::fabs(problem_.target[i] - z[4 * i]));
            }
            for (const HeldRow& row : rows_) {
                const std::size_t m = multiplier_index(row);
                dy = std::max(dy, row.scale * std::fabs(r[m]));
                forces = std::max(forces, row.scale * std::fabs(z[m]));
            }
            const double size = std::max(dx / x_scale, forces > 0.0 ? dy / forces : 0.0);
            if (!std::isfinite(size) || size > 0.5 * previous) return std::nullopt;
            if (dx <= settled * x_scale && dy <= settled_multipliers * forces) break;
            previous = size;
        }
        return solution(z);
    }

private:
    static std::size_t slot(std::size_t interleaved) {  // x's index in z
        return 2 * interleaved - interleaved % 2;
    }
    std::size_t multiplier_index(const HeldRow& row) const {
        return 4 * row.interval + (row.speed == 2 * row.interval + 1 ? 2 : 3);
    }
    bool speed_held(std::size_t interleaved) const {
        return interleaved % 2 == 1 && holds(face_.zero_speed, interleaved / 2);
    }

    // LAPACK's general band storage: (i, j) at row kl + ku + i - j of column j.
    void add(std::size_t i, std::size_t j, double value) {
        band_[j * ldab + static_cast<std::size_t>(kl + ku) + i - j] += value;
    }

    void assemble() {
        for_each_hessian_entry(problem_, [&](std::size_t row, std::size_t column, double value) {
            if (speed_held(row) || speed_held(column)) return;
            add(slot(row), slot(column), value);
            if (row != column) add(slot(column), slot(row), value);
        });
        for (std::size_t i = 0; i < n_; ++i) {
            if (holds(face_.zero_speed, i)) add(4 * i + 1, 4 * i + 1, 1.0);
        }
        for (std::size_t k = 0; k + 1 < n_; ++k) {
            // S: the row's entries of 3 come to the larger of H's two distance entries.
            const double h =
                std::max(band_[4 * k * ldab + kl + ku], band_[(4 * k + 4) * ldab + kl + ku]);
            const double scale = std::max(h, 1.0) / 3.0;
            if (holds(face_.leaving, k)) rows_.push_back({k, 2 * k + 1, scale});
            if (holds(face_.arriving, k)) rows_.push_back({k, 2 * k + 3, scale});
        }
        std::vector<unsigned char> used(2 * n_, 0);
        for (const HeldRow& row : rows_) {
            const std::size_t m = multiplier_index(row), k = row.interval;
            used[m - 2 * k - 2] = 1;
            add(m, 4 * k, -3.0 * row.scale);
            add(4 * k, m, -3.0 * row.scale);
            add(m, 4 * k + 4, 3.0 * row.scale);
            add(4 * k + 4, m, 3.0 * row.scale);
            if (!speed_held(row.speed)) {
                const double v = -problem_.step[k] * row.scale;
                add(m, slot(row.speed), v);
                add(slot(row.speed), m, v);
            }
        }
        // Multipliers of constraints not held are 0: identity rows.
        for (std::size_t i = 0; i < n_; ++i) {
            for (std::size_t m = 4 * i + 2; m < 4 * i + 4; ++m) {
                if (used[m - 2 * i - 2] == 0) add(m, m, 1.0);
            }
        }
    }

    // The right-hand side minus the system times z, from the stable b - H x.
    void residual(const std::vector<double>& z, std::vector<double>& out) const {
        std::vector<double> x(2 * n_);
        for (std::size_t m = 0; m < 2 * n_; ++m) x[m] = z[slot(m)];
        std::vector<double> g(2 * n_);
        profile_residual(problem_, x, g);
        subtract_row_forces(z, g);
        for (std::size_t m = 0; m < 2 * n_; ++m) {
            out[slot(m)] = speed_held(m) ? -x[m] : g[m];
        }
        for (std::size_t i = 0; i < n_; ++i) {
            out[4 * i + 2] = -z[4 * i + 2];
            out[4 * i + 3] = -z[4 * i + 3];
        }
        for (const HeldRow& row : rows_) {
            out[multiplier_index(row)] =
                -row.scale * box_value(problem_, x, row.interval, row.speed);
        }
    }

    // g -= A' y, y = S y'.
    void subtract_row_forces(const std::vector<double>& z, std::vector<double>& g) const {
        for (const HeldRow& row : rows_) {
            const std::size_t k = row.interval;
            const double y = row.scale * z[multiplier_index(row)];
            g[2 * k] += 3.0 * y;
            g[2 * k + 2] -= 3.0 * y;
            g[row.speed] += problem_.step[k] * y;
        }
    }

    // -y_j is the multiplier of a_j x >= 0; a held speed's is its row of
    // H x - b + A' y.
    FaceSolution solution(const std::vector<double>& z) const {
        FaceSolution out{std::vector<double>(2 * n_), std::vector<double>(n_, 0.0),
                         std::vector<double>(n_ - 1, 0.0), std::vector<double>(n_ - 1, 0.0)};
        for (std::size_t m = 0; m < 2 * n_; ++m) out.x[m] = z[slot(m)];
        for (const HeldRow& row : rows_) {
            const bool leaving = row.speed == 2 * row.interval + 1;
            (leaving ? out.leaving_multiplier : out.arriving_multiplier)[row.interval] =
                -row.scale * z[multiplier_index(row)];
        }
        std::vector<double> g(2 * n_);
        profile_residual(problem_, out.x, g);
        subtract_row_forces(z, g);
        for (std::size_t i = 0; i < n_; ++i) {
            if (holds(face_.zero_speed, i)) out.speed_multiplier[i] = -g[2 * i + 1];
        }
        return out;
    }

    const ScaledProfileProblem& problem_;
    const ProfileFace& face_;
    std::size_t n_;
    std::size_t order_;
    std::vector<double> band_;
    std::vector<int> pivots_;
    std::vector<HeldRow> rows_;
};

}  // namespace

std::optional<FaceSolution> solve_on_kkt_face(const ScaledProfileProblem& problem,
                                              const ProfileFace& face) {
    KktSystem system(problem, face);
    return system.solve();
}

}  // namespace velmora::detail
