#include "qp/assembly.hpp"

#include "velmora/memory.hpp"

namespace velmora::qp::detail {

namespace {

struct RowCounts {
    std::size_t rows = 0;
    std::size_t triplets = 0;
};

// Sizes of A and b, so that both are allocated once.
RowCounts count_rows(const ProblemVariables& variables, const std::vector<Constraint>& constraints) {
    RowCounts counts;
    for (const Constraint& constraint : constraints) {
        std::size_t rows = 1;
        const AffineExpression* expression = nullptr;
        if (const auto* eq = std::get_if<Equality>(&constraint)) {
            expression = &eq->expression;
        } else {
            const auto& bounded = std::get<Bounded>(constraint);
            rows = std::size_t{bounded.upper.has_value()} + std::size_t{bounded.lower.has_value()};
            expression = &bounded.expression;
        }
        counts.rows += rows;
        counts.triplets += checked_mul(expression->coefficients.size(), rows);
    }
    for (const VariableBounds& bounds : variables.entries()) {
        const std::size_t rows = std::size_t{bounds.upper.has_value()} + std::size_t{bounds.lower.has_value()};
        counts.rows += rows;
        counts.triplets += rows;
    }
    return counts;
}

void add_row(CscMatrixTripletsBuilder& a, std::size_t row, const AffineExpression& expression,
             double sign) {
    for (const auto& [v, coefficient] : expression.coefficients)
        a.add_triplet(row, v.index(), sign * coefficient);
}

}  // namespace

AssembledProblem assemble(const ProblemVariables& variables, const QuadraticExpression& objective,
                          const std::vector<Constraint>& constraints) {
    const std::size_t n = variables.size();
    AssembledProblem problem;
    problem.p = objective.quadratic_as_csc(n);
    problem.q = objective.linear_as_vector(n);

    const RowCounts counts = count_rows(variables, constraints);
    CscMatrixTripletsBuilder a(constraints.size(), n);
    a.reserve(counts.triplets);
    check_allocation(counts.rows, sizeof(double));
    std::vector<double>& b = problem.b;
    b.reserve(counts.rows);
    std::size_t r = 0;

    for (const Constraint& constraint : constraints) {
        const auto* eq = std::get_if<Equality>(&constraint);
        if (eq == nullptr) continue;
        add_row(a, r++, eq->expression, 1.0);
        b.push_back(-eq->expression.constant);
    }
    const std::size_t equalities = r;

    for (const Constraint& constraint : constraints) {
        const auto* bounded = std::get_if<Bounded>(&constraint);
        if (bounded == nullptr) continue;
        const double c = bounded->expression.constant;
        if (bounded->upper) {
            add_row(a, r++, bounded->expression, 1.0);
            b.push_back(*bounded->upper - c);
        }
        if (bounded->lower) {
            add_row(a, r++, bounded->expression, -1.0);
            b.push_back(c - *bounded->lower);
        }
    }

    for (std::size_t k = 0; k < n; ++k) {
        const VariableBounds& bounds = variables.entries()[k];
        if (bounds.upper) {
            a.add_triplet(r++, k, 1.0);
            b.push_back(*bounds.upper);
        }
        if (bounds.lower) {
            a.add_triplet(r++, k, -1.0);
            b.push_back(-*bounds.lower);
        }
    }

    problem.a = std::move(a).build();
    problem.zero_cone_dim = equalities;
    problem.nonneg_cone_dim = r - equalities;
    return problem;
}

}  // namespace velmora::qp::detail
