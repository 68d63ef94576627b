#include <array>
#include <string>

#include <velmora_clarabel.h>

#include "qp/assembly.hpp"
#include "qp/solver_memory.hpp"
#include "velmora/error.hpp"
#include "velmora/qp/solver.hpp"

namespace velmora::qp {

namespace detail {

namespace {

velmora_csc_view view_of(const CscMatrix& matrix) {
    return velmora_csc_view{
        matrix.m,           matrix.n, matrix.nnz(), matrix.colptr.data(), matrix.rowval.data(),
        matrix.nzval.data()};
}

// Read once: the shim's answer never changes.
const velmora_clarabel_settings& shim_defaults() {
    static const velmora_clarabel_settings defaults = [] {
        velmora_clarabel_settings c{};
        const int32_t code = velmora_clarabel_settings_default(&c);
        if (code != VELMORA_CLARABEL_OK)
            throw SolverFailure("the solver shim could not read Clarabel's default settings", code);
        return c;
    }();
    return defaults;
}

}  // namespace

SolveResult solve_assembled(const AssembledProblem& problem, const ClarabelSettings& settings) {
    const velmora_qp_problem c_problem{
        view_of(problem.p), problem.q.data(), problem.q.size(),      view_of(problem.a),
        problem.b.data(),   problem.b.size(), problem.zero_cone_dim, problem.nonneg_cone_dim};

    // Clarabel's solution has one entry per column of A, which it checks
    // against the length of q.
    std::vector<double> x(problem.q.size());
    std::array<char, 1024> message{};
    velmora_qp_output output{};
    output.x = x.data();
    output.x_capacity = x.size();
    output.error = message.data();
    output.error_capacity = message.size();

    ensure_memory_available(solver_memory_estimate(problem));
    const int32_t code = velmora_clarabel_solve(&c_problem, &settings, &output);
    if (code != VELMORA_CLARABEL_OK) throw SolverFailure(std::string(message.data()), code);

    switch (output.status) {
        case VELMORA_STATUS_SOLVED:
            x.resize(output.x_len);
            return SolvedProblem(std::move(x));
        case VELMORA_STATUS_PRIMAL_INFEASIBLE:
        case VELMORA_STATUS_DUAL_INFEASIBLE:
            return SolverError::Infeasible;
        case VELMORA_STATUS_REFUSED_DATA:
            return SolverError::RefusedData;
        default:
            return SolverError::NotSolved;
    }
}

}  // namespace detail

ClarabelSettings::ClarabelSettings() : velmora_clarabel_settings(detail::shim_defaults()) {}

SolveResult ClarabelSolver::solve(ProblemVariables variables, QuadraticExpression objective,
                                  std::vector<Constraint> constraints) const {
    detail::AssembledProblem problem = detail::assemble(variables, objective, constraints);
    // The model is no longer needed: release it before the solver allocates.
    variables = {};
    objective = {};
    constraints = {};
    return detail::solve_assembled(problem, settings_);
}

}  // namespace velmora::qp
