#include "velmora/qp/expression.hpp"

#include <algorithm>

#include "core/memory.hpp"
#include "velmora/error.hpp"

namespace velmora::qp {

AffineExpression::AffineExpression(Variable v) { coefficients.add(v, 1.0); }

AffineExpression::AffineExpression(double c) : constant(c) {}

double AffineExpression::evaluate(const std::vector<double>& values) const {
    double sum = constant;
    for (const auto& [v, a] : coefficients) sum += a * values[v.index()];
    return sum;
}

double QuadraticExpression::evaluate(const std::vector<double>& values) const {
    double sum = linear.evaluate(values);
    for (const auto& [key, c] : quadratic) sum += c * values[key.first] * values[key.second];
    return sum;
}

std::vector<double> QuadraticExpression::linear_as_vector(std::size_t n) const {
    check_allocation(n, sizeof(double));
    std::vector<double> q(n, 0.0);
    for (const auto& [v, a] : linear.coefficients) {
        if (v.index() >= n) throw_index_out_of_bounds(n, v.index());
        q[v.index()] = a;
    }
    return q;
}

AffineExpression operator*(Variable v, double c) {
    AffineExpression e;
    e.coefficients.add(v, c);
    return e;
}

AffineExpression operator*(double c, Variable v) { return v * c; }

AffineExpression operator-(Variable v, double c) {
    AffineExpression e(v);
    e.constant = -c;
    return e;
}

AffineExpression operator-(AffineExpression e) {
    e.coefficients.transform([](double a) { return -a; });
    e.constant = -e.constant;
    return e;
}

AffineExpression operator-(AffineExpression e, double c) {
    e.constant -= c;
    return e;
}

AffineExpression operator-(AffineExpression e, Variable v) {
    e.coefficients.add(v, -1.0);
    return e;
}

AffineExpression operator-(AffineExpression e, const AffineExpression& f) {
    // e + (-f): every coefficient of f negated, then summed in.
    e.coefficients.add_negated(f.coefficients);
    e.constant = -f.constant + e.constant;
    return e;
}

AffineExpression operator+(double c, AffineExpression e) {
    e.constant = c + e.constant;
    return e;
}

AffineExpression operator+(double c, Variable v) { return c + AffineExpression(v); }

AffineExpression operator+(AffineExpression e, Variable v) {
    e.coefficients.add(v, 1.0);
    return e;
}

AffineExpression operator+(AffineExpression e, const AffineExpression& f) {
    e += f;
    return e;
}

AffineExpression& operator+=(AffineExpression& e, const AffineExpression& f) {
    e.coefficients.add(f.coefficients);
    e.constant = f.constant + e.constant;
    return e;
}

QuadraticExpression operator*(AffineExpression e, const AffineExpression& f) {
    QuadraticExpression result;
    // A pair of distinct variables meets twice, once in each order; the two
    // products are summed, and their order cannot change the sum.
    result.quadratic.assign_unordered(
        checked_mul(e.coefficients.size(), f.coefficients.size()), [&](auto&& emit) {
            for (const auto& [u, a] : e.coefficients) {
                for (const auto& [w, b] : f.coefficients) {
                    emit(IndexPair{std::min(u.index(), w.index()), std::max(u.index(), w.index())},
                         b * a);
                }
            }
        });

    const double constant = e.constant * f.constant;
    Terms<Variable>& linear = result.linear.coefficients;
    linear.reserve(f.coefficients.size());
    for (const auto& [w, b] : f.coefficients) linear.add(w, b * e.constant);
    e.coefficients.transform([&](double a) { return a * f.constant; });
    // Every variable of either operand keeps an entry, also with 0.0.
    linear.add(e.coefficients);
    result.linear.constant = constant;
    return result;
}

QuadraticExpression square(AffineExpression e) {
    // The values of a copy of e times e, without the copy: a pair of distinct
    // variables gets its two equal products summed, and the keys come out in
    // order, so nothing needs sorting.
    QuadraticExpression result;
    const Terms<Variable>& terms = e.coefficients;
    const std::size_t count = terms.size();
    result.quadratic.reserve(checked_mul(count, count + 1) / 2);
    for (auto first = terms.begin(); first != terms.end(); ++first) {
        const auto& [u, a] = *first;
        result.quadratic.add(IndexPair{u.index(), u.index()}, a * a);
        for (auto second = first + 1; second != terms.end(); ++second) {
            const auto& [w, b] = *second;
            const double product = b * a;
            result.quadratic.add(IndexPair{u.index(), w.index()}, product + product);
        }
    }
    Terms<Variable>& linear = result.linear.coefficients;
    linear.reserve(count);
    for (const auto& [v, a] : terms) {
        const double scaled = a * e.constant;
        linear.add(v, scaled + scaled);
    }
    result.linear.constant = e.constant * e.constant;
    return result;
}

QuadraticExpression& operator+=(QuadraticExpression& q, const QuadraticExpression& r) {
    q.quadratic.add(r.quadratic);
    q.linear += r.linear;
    return q;
}

}  // namespace velmora::qp
