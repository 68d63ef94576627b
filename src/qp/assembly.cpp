#include "qp/assembly.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <variant>

#include "core/memory.hpp"

namespace velmora::qp {

namespace {

constexpr std::size_t max_index = std::numeric_limits<std::size_t>::max();

// Turns per-column counts (held at colptr[col + 1]) into column starts and
// sizes the entry arrays.
void allocate_columns(CscMatrix& a) {
    for (std::size_t col = 1; col < a.colptr.size(); ++col) a.colptr[col] += a.colptr[col - 1];
    const std::size_t nnz = a.colptr.back();
    check_allocation(nnz, sizeof(std::size_t) + sizeof(double));
    a.rowval.resize(nnz);
    a.nzval.resize(nnz);
}

// The generic path for keys whose first index exceeds the second, which
// only direct writes into `quadratic` can make: each entry is added in both
// orders and repeats are summed, as for ordered keys.
CscMatrix from_unordered_keys(const Terms<IndexPair>& quadratic, std::size_t n) {
    CscMatrixTripletsBuilder builder(n, n);
    builder.reserve(checked_mul(quadratic.size(), 2));
    for (const auto& [key, c] : quadratic) {
        const auto [i, j] = key;
        if (i == j) {
            builder.add_triplet(i, i, 2.0 * c);
        } else {
            builder.add_triplet(i, j, c);
            builder.add_triplet(j, i, c);
        }
    }
    return std::move(builder).build();
}

// P of 1/2 x'Px straight from the sorted keys: visiting (i, j) in key order
// fills every column in increasing row order (rows above the diagonal come
// from smaller first indices, rows below from the column's own keys), so
// nothing is sorted or merged. It grows square to fit an index of n or more.
CscMatrix objective_matrix(const Terms<IndexPair>& quadratic, std::size_t n) {
    if (quadratic.empty()) return CscMatrix::zeros(n, n);
    std::size_t dim = n;
    bool ordered = true;
    for (const auto& [key, c] : quadratic) {
        if (key.first == max_index || key.second == max_index) throw std::bad_alloc();
        ordered = ordered && key.first <= key.second;
        dim = std::max({dim, key.first + 1, key.second + 1});
    }
    if (!ordered) return from_unordered_keys(quadratic, n);

    CscMatrix p = CscMatrix::zeros(dim, dim);
    for (const auto& [key, c] : quadratic) {
        ++p.colptr[key.second + 1];
        if (key.first != key.second) ++p.colptr[key.first + 1];
    }
    allocate_columns(p);
    std::vector<std::size_t> next(p.colptr.begin(), p.colptr.end() - 1);
    for (const auto& [key, c] : quadratic) {
        const auto [i, j] = key;
        if (i == j) {
            p.rowval[next[i]] = i;
            p.nzval[next[i]++] = 2.0 * c;
            continue;
        }
        p.rowval[next[j]] = i;
        p.nzval[next[j]++] = c;
        p.rowval[next[i]] = j;
        p.nzval[next[i]++] = c;
    }
    return p;
}

struct RowCount {
    std::size_t rows = 0;
    std::size_t equalities = 0;
};

// Visits the rows of A in order, equality rows first: (row, expression,
// sign, right-hand side) for the constraint rows, then (row, variable, sign,
// right-hand side) for the variable-bound rows.
template <class OnExpression, class OnVariable>
RowCount visit_rows(const ProblemVariables& variables, const std::vector<Constraint>& constraints,
                    OnExpression on_expression, OnVariable on_variable) {
    std::size_t r = 0;
    for (const Constraint& constraint : constraints) {
        const auto* eq = std::get_if<Equality>(&constraint);
        if (eq != nullptr) on_expression(r++, eq->expression, 1.0, -eq->expression.constant);
    }
    const std::size_t equalities = r;
    for (const Constraint& constraint : constraints) {
        const auto* bounded = std::get_if<Bounded>(&constraint);
        if (bounded == nullptr) continue;
        const double c = bounded->expression.constant;
        if (bounded->upper) on_expression(r++, bounded->expression, 1.0, *bounded->upper - c);
        if (bounded->lower) on_expression(r++, bounded->expression, -1.0, c - *bounded->lower);
    }
    const std::vector<VariableBounds>& entries = variables.entries();
    for (std::size_t k = 0; k < entries.size(); ++k) {
        if (entries[k].upper) on_variable(r++, k, 1.0, *entries[k].upper);
        if (entries[k].lower) on_variable(r++, k, -1.0, -*entries[k].lower);
    }
    return {r, equalities};
}

}  // namespace

CscMatrix QuadraticExpression::quadratic_as_csc(std::size_t n) const {
    return objective_matrix(quadratic, n);
}

namespace detail {

AssembledProblem assemble(const ProblemVariables& variables, const QuadraticExpression& objective,
                          const std::vector<Constraint>& constraints) {
    const std::size_t n = variables.size();
    AssembledProblem problem;
    problem.p = objective.quadratic_as_csc(n);
    problem.q = objective.linear_as_vector(n);

    // First pass: entries per column (the column count grows to fit the
    // largest index, as Clarabel's own triplet form would) and the last row
    // that has an entry.
    CscMatrix& a = problem.a;
    std::vector<std::size_t>& counts = a.colptr;
    counts = CscMatrix::zeros(0, n).colptr;
    std::size_t last_filled_row = 0;
    bool any_entry = false;
    const auto fit_column = [&](std::size_t col) {
        if (col + 1 < counts.size()) return;
        if (col >= max_index - 1) throw std::bad_alloc();
        check_allocation(col + 2, sizeof(std::size_t));
        counts.resize(col + 2, 0);
    };
    const auto [rows, equalities] = visit_rows(
        variables, constraints,
        [&](std::size_t r, const AffineExpression& e, double, double) {
            if (e.coefficients.empty()) return;
            fit_column(e.coefficients.back().first.index());
            for (const auto& [v, coefficient] : e.coefficients) ++counts[v.index() + 1];
            last_filled_row = r;
            any_entry = true;
        },
        [&](std::size_t r, std::size_t k, double, double) {
            fit_column(k);
            ++counts[k + 1];
            last_filled_row = r;
            any_entry = true;
        });
    check_allocation(rows, sizeof(double));
    a.n = counts.size() - 1;
    allocate_columns(a);
    a.m = std::max(constraints.size(), any_entry ? last_filled_row + 1 : 0);

    // Second pass: rows arrive in increasing order, so each column fills in
    // increasing row order.
    std::vector<std::size_t> next(a.colptr.begin(), a.colptr.end() - 1);
    std::vector<double>& b = problem.b;
    b.reserve(rows);
    visit_rows(
        variables, constraints,
        [&](std::size_t r, const AffineExpression& e, double sign, double rhs) {
            for (const auto& [v, coefficient] : e.coefficients) {
                const std::size_t pos = next[v.index()]++;
                a.rowval[pos] = r;
                a.nzval[pos] = sign * coefficient;
            }
            b.push_back(rhs);
        },
        [&](std::size_t r, std::size_t k, double sign, double rhs) {
            const std::size_t pos = next[k]++;
            a.rowval[pos] = r;
            a.nzval[pos] = sign;
            b.push_back(rhs);
        });

    problem.zero_cone_dim = equalities;
    problem.nonneg_cone_dim = rows - equalities;
    return problem;
}

}  // namespace detail

}  // namespace velmora::qp
