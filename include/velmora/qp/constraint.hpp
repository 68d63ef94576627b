#pragma once
// Constraints on affine expressions. The order of a constraint sequence
// fixes the order of the rows of the assembled problem.

#include <optional>
#include <variant>

#include "velmora/qp/expression.hpp"

namespace velmora::qp {

/// expression == 0
struct Equality {
    AffineExpression expression;
};

/// lower <= expression (when present) and expression <= upper (when present).
struct Bounded {
    std::optional<double> lower;
    std::optional<double> upper;
    AffineExpression expression;
};

using Constraint = std::variant<Equality, Bounded>;

}  // namespace velmora::qp
