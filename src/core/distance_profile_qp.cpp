// The monotone distance profile: J subject to v_i >= 0 and the box
// d_k v_k <= 3 (s_{k+1} - s_k), d_k v_{k+1} <= 3 (s_{k+1} - s_k) that keeps
// every Hermite between samples from going backwards
// (distance_profile_monotone.cpp), in the scaled units of
// distance_profile_model.hpp.
//
// Clarabel solves the QP stated through the QP layer. An interior-point
// solution sits a little inside the constraints it finds active, most of
// all at a standstill, where a speed of 0 and both box constraints of its
// intervals are active at once with multipliers near 0. Its speeds there
// come back at about the square root of the solver's tolerance, and the
// errors grow with the number of samples. So the solution is then made
// exact by an active-set method that starts from the constraints Clarabel
// left active (distance_profile_active_set.cpp). Should that not settle,
// Clarabel's solution is returned, put on the monotone side.

#include <algorithm>
#include <cmath>

#include "core/distance_profile_model.hpp"
#include "velmora/qp/qp.hpp"

namespace velmora::detail {

namespace {

using qp::Variable;

// The scaled distances lie in [-1, 1] and steady speeds are of order 1, so
// absolute tolerances are fractions of the data's extent. The exact solution
// needs Clarabel only for a start, but when it does not settle, Clarabel's
// own is returned. Measured against the exact solution
// (distances in fractions of the extent, speeds of the mean speed): at
// Clarabel's default 1e-8, up to 1.5e-5 and 5e-3 on trips of 40 to 400
// samples, 2e-4 and 1.9 on 100,000; at 1e-10, up to 1.3e-6 and 4e-4, and
// 4.7e-6 and 0.08 on 100,000, for about 1.2 times the time. At 1e-12
// Clarabel stopped short of it on 4 of the 23 trips measured.
qp::ClarabelSettings monotone_settings() {
    qp::ClarabelSettings settings;
    settings.verbose = false;
    settings.max_iter = 400;
    settings.tol_gap_abs = 1e-10;
    settings.tol_gap_rel = 1e-10;
    settings.tol_feas = 1e-10;
    return settings;
}

std::variant<std::vector<double>, qp::SolverError> solve_with_clarabel(
    const ScaledProfileProblem& problem) {
    const std::size_t n = problem.size();
    qp::ProblemVariables variables;
    // Interleaved, as the direct solve orders them.
    std::vector<Variable> s;
    std::vector<Variable> v;
    s.reserve(n);
    v.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(variables.add_vector(1, std::nullopt, std::nullopt)[0]);
        v.push_back(variables.add_vector(1, 0.0, std::nullopt)[0]);
    }

    // J as sums of squares: (s_i - z_i)^2 w_i, and per interval the two
    // squares of the prior term (see distance_profile_band.cpp). Sample by
    // sample, so that the terms arrive in the order of their variables and
    // each sum merges into the objective's last few entries only.
    qp::QuadraticExpression objective;
    objective.quadratic.reserve(10 * n);
    std::vector<qp::Constraint> constraints;
    constraints.reserve(2 * n);
    for (std::size_t k = 0; k < n; ++k) {
        const double root = std::sqrt(problem.weight[k]);
        objective += qp::square(root * s[k] - root * problem.target[k]);
        if (k + 1 == n) break;
        const double d = problem.step[k];
        const double a = std::sqrt(12.0 * problem.prior / (d * d * d));
        const double h = 0.5 * a * d;
        const double c = std::sqrt(problem.prior / d);
        objective += qp::square(a * s[k + 1] + (-a) * s[k] + (-h) * v[k] + (-h) * v[k + 1]);
        objective += qp::square(c * v[k + 1] + (-c) * v[k]);
        constraints.emplace_back(
            qp::Bounded{0.0, std::nullopt, 3.0 * s[k + 1] + (-3.0) * s[k] + (-d) * v[k]});
        constraints.emplace_back(
            qp::Bounded{0.0, std::nullopt, 3.0 * s[k + 1] + (-3.0) * s[k] + (-d) * v[k + 1]});
    }

    const qp::ClarabelSolver solver(monotone_settings());
    qp::SolveResult result =
        solver.solve(std::move(variables), std::move(objective), std::move(constraints));
    if (const auto* error = std::get_if<qp::SolverError>(&result)) return *error;
    return std::get<qp::SolvedProblem>(result).solution();
}

}  // namespace

std::variant<std::vector<double>, qp::SolverError> solve_monotone_profile(
    const ScaledProfileProblem& problem, const std::vector<double>& unconstrained) {
    auto clarabel = solve_with_clarabel(problem);
    // Where Clarabel gives up (steps of a millisecond among steps of minutes
    // make the problem too stiff for it), the active-set method starts from
    // the unconstrained profile instead.
    auto* start = std::get_if<std::vector<double>>(&clarabel);
    if (std::optional<std::vector<double>> exact =
            exact_monotone_profile(problem, start != nullptr ? *start : unconstrained)) {
        return std::move(*exact);
    }
    if (start == nullptr) return clarabel;
    // Clarabel's solution, put on the monotone side; or, where that costs
    // more than it should (at a step far shorter than the rest, a speed
    // moved onto its bound costs as much as the stiff interval makes it),
    // the unconstrained profile put there.
    std::vector<double> repaired = unconstrained;
    clip_to_monotone(*start);
    cap_to_box(problem, *start);
    clip_to_monotone(repaired);
    cap_to_box(problem, repaired);
    if (profile_objective(problem, repaired) < profile_objective(problem, *start)) return repaired;
    return clarabel;
}

}  // namespace velmora::detail
