// The monotone distance profile: J subject to v_i >= 0 and s_{k+1} >= s_k,
// in the scaled units of distance_profile_model.hpp.
//
// Clarabel solves the QP stated through the QP layer. An interior-point
// solution sits a little inside the constraints it finds active, most of
// all at a standstill, where a speed of 0 and a flat interval are active at
// once with multipliers near 0: there the speeds come back at about the
// square root of the solver's tolerance, and the errors grow with the
// number of samples (measured at tolerance 1e-10: 2e-5 to 6e-5 of the mean
// speed on trips of 50 to 400 samples, 0.5% of it and 5e-6 of the extent in
// distance on 100,000). So the solution is then made exact: J is minimised
// on the face of the constraints Clarabel left active
// (distance_profile_band.cpp), constraints that the result breaks are added
// and those whose multiplier is negative dropped, until the face's solution
// meets every constraint with every multiplier >= 0, which makes it the
// QP's minimiser (2 to 17 changes of face on the trips measured, from any
// start). Should that not settle, Clarabel's solution is returned as it is.

#include <algorithm>
#include <cmath>

#include "core/distance_profile_model.hpp"
#include "velmora/qp/qp.hpp"

namespace velmora::detail {

namespace {

using qp::Variable;

// The scaled distances lie in [-1, 1] and steady speeds are of order 1, so
// absolute tolerances are fractions of the data's extent. The exact solution
// above needs Clarabel only to find the active constraints, but what it
// returns when that does not settle is Clarabel's: at its default 1e-8 the
// distances were off by up to 1.4e-5 of the extent on trips of 40 to 80
// samples, at 1e-10 by up to 1.4e-6, for about 1.1 to 2 times the time; at
// 1e-12 Clarabel sometimes stopped without reaching it.
qp::ClarabelSettings monotone_settings() {
    qp::ClarabelSettings settings;
    settings.verbose = false;
    settings.max_iter = 400;
    settings.tol_gap_abs = 1e-10;
    settings.tol_gap_rel = 1e-10;
    settings.tol_feas = 1e-10;
    return settings;
}

// Clarabel's constraints within this of their bound start on the face.
constexpr double active_below = 1e-6;
// A constraint broken by more than this joins the face; the face's own
// solution meets its constraints to about 1e-13.
constexpr double broken_below = -1e-11;
// A multiplier below -this times the largest force drops off the face.
constexpr double negative_multiplier = 1e-9;
constexpr int max_face_changes = 50;

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
    constraints.reserve(n);
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
        constraints.emplace_back(qp::Bounded{0.0, std::nullopt, s[k + 1] - s[k]});
    }

    const qp::ClarabelSolver solver(monotone_settings());
    qp::SolveResult result =
        solver.solve(std::move(variables), std::move(objective), std::move(constraints));
    if (const auto* error = std::get_if<qp::SolverError>(&result)) return *error;
    return std::get<qp::SolvedProblem>(result).solution();
}

// The largest force on a sample: of its data term, or a multiplier.
double force_scale(const ScaledProfileProblem& problem, const FaceSolution& face) {
    double largest = 0.0;
    for (std::size_t i = 0; i < problem.size(); ++i) {
        largest =
            std::max(largest, problem.weight[i] * std::fabs(problem.target[i] - face.x[2 * i]));
        largest = std::max(largest, std::fabs(face.speed_multiplier[i]));
    }
    for (const double m : face.flat_multiplier) largest = std::max(largest, std::fabs(m));
    return largest;
}

// Moves constraints onto or off the face by the face's solution; whether any moved.
bool change_face(const ScaledProfileProblem& problem, const FaceSolution& solution,
                 ProfileFace& face) {
    const double tolerance = negative_multiplier * force_scale(problem, solution);
    const std::vector<double>& x = solution.x;
    bool changed = false;
    auto update = [&](unsigned char& held, double value, double multiplier) {
        if (held != 0 && multiplier < -tolerance) {
            held = 0;
            changed = true;
        } else if (held == 0 && value < broken_below) {
            held = 1;
            changed = true;
        }
    };
    for (std::size_t i = 0; i < problem.size(); ++i) {
        update(face.zero_speed[i], x[2 * i + 1], solution.speed_multiplier[i]);
    }
    for (std::size_t k = 0; k + 1 < problem.size(); ++k) {
        update(face.flat[k], x[2 * k + 2] - x[2 * k], solution.flat_multiplier[k]);
    }
    return changed;
}

std::optional<std::vector<double>> exact_on_face(const ScaledProfileProblem& problem,
                                                 const std::vector<double>& start) {
    const std::size_t n = problem.size();
    ProfileFace face{std::vector<unsigned char>(n), std::vector<unsigned char>(n - 1)};
    for (std::size_t i = 0; i < n; ++i) face.zero_speed[i] = start[2 * i + 1] < active_below;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        face.flat[k] = start[2 * k + 2] - start[2 * k] < active_below;
    }
    for (int round = 0; round < max_face_changes; ++round) {
        std::optional<FaceSolution> solution = solve_on_face(problem, face);
        if (!solution) return std::nullopt;
        if (!change_face(problem, *solution, face)) return std::move(solution->x);
    }
    return std::nullopt;
}

}  // namespace

std::variant<std::vector<double>, qp::SolverError> solve_monotone_profile(
    const ScaledProfileProblem& problem) {
    auto clarabel = solve_with_clarabel(problem);
    auto* start = std::get_if<std::vector<double>>(&clarabel);
    if (start == nullptr) return clarabel;
    if (std::optional<std::vector<double>> exact = exact_on_face(problem, *start)) {
        return std::move(*exact);
    }
    return clarabel;
}

}  // namespace velmora::detail
