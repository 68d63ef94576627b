#include "velmora/qp/variables.hpp"

#include <algorithm>

#include "core/memory.hpp"

namespace velmora::qp {

std::vector<Variable> ProblemVariables::add_vector(std::size_t count, std::optional<double> lower,
                                                   std::optional<double> upper) {
    const std::size_t first = entries_.size();
    if (count > static_cast<std::size_t>(-1) - first)
        check_allocation(static_cast<std::size_t>(-1), 1);
    check_allocation(first + count, sizeof(VariableBounds));
    check_allocation(count, sizeof(Variable));

    std::vector<Variable> handles;
    handles.reserve(count);
    // Geometric growth, so that registering variables one call at a time
    // (a model interleaving two kinds of them) stays linear overall.
    if (entries_.capacity() < first + count) {
        entries_.reserve(std::max(first + count, 2 * entries_.capacity()));
    }
    for (std::size_t k = 0; k < count; ++k) {
        entries_.push_back(VariableBounds{lower, upper});
        handles.emplace_back(first + k);
    }
    return handles;
}

}  // namespace velmora::qp
