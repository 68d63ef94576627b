#pragma once
// Assembly of a modelled QP into the arrays that Clarabel takes, and the
// call into the solver shim. Internal: the public entry point is
// ClarabelSolver::solve.

#include <cstddef>
#include <vector>

#include "velmora/qp/constraint.hpp"
#include "velmora/qp/csc_matrix.hpp"
#include "velmora/qp/expression.hpp"
#include "velmora/qp/solver.hpp"
#include "velmora/qp/variables.hpp"

namespace velmora::qp::detail {

/// minimise 1/2 x'Px + q'x subject to Ax + s = b, where the first
/// zero_cone_dim rows of s are 0 and the remaining nonneg_cone_dim are >= 0.
struct AssembledProblem {
    CscMatrix p;
    std::vector<double> q;
    CscMatrix a;
    std::vector<double> b;
    std::size_t zero_cone_dim = 0;
    std::size_t nonneg_cone_dim = 0;
};

/// Equality rows first, then the Bounded rows (upper before lower), then the
/// variable-bound rows. The objective's constant is dropped.
AssembledProblem assemble(const ProblemVariables& variables, const QuadraticExpression& objective,
                          const std::vector<Constraint>& constraints);

/// Runs Clarabel on assembled arrays as they are; Clarabel itself checks
/// that their dimensions agree (velmora::Error with its message otherwise).
SolveResult solve_assembled(const AssembledProblem& problem, const ClarabelSettings& settings);

}  // namespace velmora::qp::detail
