#pragma once
// Solving a quadratic program: the solver interface, its result types and
// the adapter to the Clarabel interior-point solver.

#include <cstddef>
#include <span>
#include <variant>
#include <vector>

#include "velmora/qp/clarabel_settings.h"
#include "velmora/qp/constraint.hpp"
#include "velmora/qp/expression.hpp"
#include "velmora/qp/solver_error.hpp"
#include "velmora/qp/variables.hpp"

namespace velmora::qp {

/// The primal solution of a successful solve, one value per variable.
class SolvedProblem {
public:
    explicit SolvedProblem(std::vector<double> solution) : solution_(std::move(solution)) {}

    const std::vector<double>& solution() const noexcept { return solution_; }
    /// The solution values of the given variables, in their order. Throws
    /// velmora::Error for a variable whose index is past the solution.
    std::vector<double> eval_vec(std::span<const Variable> variables) const;

private:
    std::vector<double> solution_;
};

using SolveResult = std::variant<SolvedProblem, SolverError>;

/// A QP solver: minimise the objective subject to the constraints and the
/// variables' bounds. The three inputs are consumed.
class Solver {
public:
    virtual ~Solver() = default;
    virtual SolveResult solve(ProblemVariables variables, QuadraticExpression objective,
                              std::vector<Constraint> constraints) const = 0;
};

/// The Clarabel settings a caller may change, the fields declared in
/// velmora/qp/clarabel_settings.h (verbose, max_iter, tol_gap_abs, ...);
/// all others keep Clarabel's defaults.
struct ClarabelSettings : velmora_clarabel_settings {
    /// Clarabel's own defaults, as the solver reports them, except that
    /// printing is off.
    ClarabelSettings();
};

/// Solves with Clarabel. Outcomes other than Solved come back as a
/// SolverError; a problem whose matrix dimensions disagree throws
/// velmora::Error with Clarabel's message.
class ClarabelSolver final : public Solver {
public:
    explicit ClarabelSolver(ClarabelSettings settings = {}) : settings_(settings) {}

    const ClarabelSettings& settings() const noexcept { return settings_; }
    SolveResult solve(ProblemVariables variables, QuadraticExpression objective,
                      std::vector<Constraint> constraints) const override;

private:
    ClarabelSettings settings_;
};

}  // namespace velmora::qp
