#include "core/memory.hpp"
#include "velmora/error.hpp"
#include "velmora/qp/solver.hpp"

namespace velmora::qp {

std::vector<double> SolvedProblem::eval_vec(std::span<const Variable> variables) const {
    check_allocation(variables.size(), sizeof(double));
    std::vector<double> values;
    values.reserve(variables.size());
    for (const Variable v : variables) values.push_back(at_checked(solution_, v.index()));
    return values;
}

}  // namespace velmora::qp
