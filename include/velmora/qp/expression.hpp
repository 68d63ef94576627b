#pragma once
// Affine and quadratic expressions over decision variables.
//
// The binary operators take their left operand by value and return it
// changed, so `std::move(e) + f` reuses e's storage; the right operand is
// only read. Variables and doubles convert implicitly to affine expressions.
// Coefficients are kept sorted by variable index (see terms.hpp).

#include <cstddef>
#include <utility>
#include <vector>

#include "velmora/qp/csc_matrix.hpp"
#include "velmora/qp/terms.hpp"
#include "velmora/qp/variables.hpp"

namespace velmora::qp {

/// Sum of coefficient * variable over `coefficients`, plus `constant`.
/// An entry stays even when its coefficient becomes 0.0.
struct AffineExpression {
    Terms<Variable> coefficients;
    double constant = 0.0;

    AffineExpression() = default;
    /// {v: 1.0}, constant 0.0
    AffineExpression(Variable v);  // NOLINT(google-explicit-constructor)
    /// No coefficients, constant c.
    AffineExpression(double c);  // NOLINT(google-explicit-constructor)

    /// Value for an assignment indexed by variable index (no bounds check).
    double evaluate(const std::vector<double>& values) const;
};

/// Key of a quadratic entry: first <= second.
using IndexPair = std::pair<std::size_t, std::size_t>;

/// Sum of coefficient * x[i] * x[j] over `quadratic` (i <= j, each product
/// stored once under its ordered key), plus the affine part `linear`.
struct QuadraticExpression {
    Terms<IndexPair> quadratic;
    AffineExpression linear;

    /// P of 1/2 x'Px for n variables: both triangles, diagonal doubled.
    CscMatrix quadratic_as_csc(std::size_t n) const;
    /// Dense linear coefficients q of length n (the constant is dropped).
    /// Throws velmora::Error for an entry whose index is n or more.
    std::vector<double> linear_as_vector(std::size_t n) const;
    /// Value for an assignment indexed by variable index (no bounds check).
    double evaluate(const std::vector<double>& values) const;
};

// Affine operators.
AffineExpression operator*(Variable v, double c);
AffineExpression operator*(double c, Variable v);
AffineExpression operator-(Variable v, double c);
AffineExpression operator-(AffineExpression e);
AffineExpression operator-(AffineExpression e, double c);
AffineExpression operator-(AffineExpression e, Variable v);
AffineExpression operator-(AffineExpression e, const AffineExpression& f);
AffineExpression operator+(double c, AffineExpression e);
AffineExpression operator+(double c, Variable v);
AffineExpression operator+(AffineExpression e, Variable v);
AffineExpression operator+(AffineExpression e, const AffineExpression& f);
AffineExpression& operator+=(AffineExpression& e, const AffineExpression& f);

// Quadratic operators.
/// Product of two affine expressions (e consumed, f read).
QuadraticExpression operator*(AffineExpression e, const AffineExpression& f);
/// e * e.
QuadraticExpression square(AffineExpression e);
QuadraticExpression& operator+=(QuadraticExpression& q, const QuadraticExpression& r);

}  // namespace velmora::qp
