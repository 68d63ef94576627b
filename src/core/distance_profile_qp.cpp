// The monotone distance profile: J subject to v_i >= 0 and s_{k+1} >= s_k,
// stated through the QP layer and solved by Clarabel, in the scaled units
// of distance_profile_model.hpp.

#include <cmath>

#include "core/distance_profile_model.hpp"
#include "velmora/qp/qp.hpp"

namespace velmora::detail {

namespace {

using qp::Variable;

// The scaled distances lie in [-1, 1] and steady speeds are of order 1, so
// absolute tolerances are fractions of the data's extent. Clarabel's own
// 1e-8 leaves errors of about 1e-5 of it on ill-conditioned trips (steps
// far shorter than the time the prior needs to move the speed); at 1e-10
// the QP's solution agrees with its exact solution on the active set to
// about 1e-8 of it on the cases measured, at a few more iterations.
qp::ClarabelSettings monotone_settings() {
    qp::ClarabelSettings settings;
    settings.verbose = false;
    settings.max_iter = 400;
    settings.tol_gap_abs = 1e-10;
    settings.tol_gap_rel = 1e-10;
    settings.tol_feas = 1e-10;
    return settings;
}

}  // namespace

std::variant<std::vector<double>, qp::SolverError> solve_monotone_profile(
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
    // squares of the prior term (see distance_profile_band.cpp).
    qp::QuadraticExpression objective;
    objective.quadratic.reserve(10 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const double root = std::sqrt(problem.weight[i]);
        objective += qp::square(root * s[i] - root * problem.target[i]);
    }
    std::vector<qp::Constraint> constraints;
    constraints.reserve(n);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double d = problem.step[k];
        const double a = std::sqrt(12.0 * problem.prior / (d * d * d));
        const double h = 0.5 * a * d;
        const double c = std::sqrt(problem.prior / d);
        objective += qp::square(a * s[k + 1] + (-a) * s[k] + (-h) * v[k] + (-h) * v[k + 1]);
        objective += qp::square(c * v[k + 1] + (-c) * v[k]);
        constraints.emplace_back(qp::Bounded{0.0, std::nullopt, s[k + 1] - s[k]});
    }

    const qp::ClarabelSolver solver(monotone_settings());
    qp::SolveResult result =
        solver.solve(std::move(variables), std::move(objective), std::move(constraints));
    if (const auto* error = std::get_if<qp::SolverError>(&result)) return *error;
    return std::get<qp::SolvedProblem>(result).solution();
}

}  // namespace velmora::detail
