#include "velmora/qp/expression.hpp"

#include <algorithm>
#include <cstdint>

#include "velmora/error.hpp"
#include "velmora/memory.hpp"

namespace velmora::qp {

AffineExpression::AffineExpression(Variable v) : coefficients{{v, 1.0}} {}

AffineExpression::AffineExpression(double c) : constant(c) {}

double AffineExpression::evaluate(const std::vector<double>& values) const {
    double sum = constant;
    for (const auto& [v, a] : coefficients) sum += a * values[v.index()];
    return sum;
}

std::size_t IndexPairHash::operator()(const IndexPair& p) const noexcept {
    // splitmix64-style finaliser over both indices
    std::uint64_t h = static_cast<std::uint64_t>(p.first) * 0x9E3779B97F4A7C15ULL ^
                      static_cast<std::uint64_t>(p.second);
    h ^= h >> 30;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 27;
    h *= 0x94D049BB133111EBULL;
    h ^= h >> 31;
    return static_cast<std::size_t>(h);
}

double QuadraticExpression::evaluate(const std::vector<double>& values) const {
    double sum = linear.evaluate(values);
    for (const auto& [key, c] : quadratic) sum += c * values[key.first] * values[key.second];
    return sum;
}

CscMatrix QuadraticExpression::quadratic_as_csc(std::size_t n) const {
    if (quadratic.empty()) return CscMatrix::zeros(n, n);
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
    e.coefficients.emplace(v, c);
    return e;
}

AffineExpression operator*(double c, Variable v) { return v * c; }

AffineExpression operator-(Variable v, double c) {
    AffineExpression e(v);
    e.constant = -c;
    return e;
}

AffineExpression operator-(AffineExpression e) {
    for (auto& entry : e.coefficients) entry.second = -entry.second;
    e.constant = -e.constant;
    return e;
}

AffineExpression operator-(AffineExpression e, double c) {
    e.constant -= c;
    return e;
}

AffineExpression operator-(AffineExpression e, Variable v) {
    const auto [it, inserted] = e.coefficients.try_emplace(v, -1.0);
    if (!inserted) it->second = -1.0 + it->second;
    return e;
}

AffineExpression operator-(AffineExpression e, const AffineExpression& f) {
    e += -AffineExpression(f);
    return e;
}

AffineExpression operator+(double c, AffineExpression e) {
    e.constant = c + e.constant;
    return e;
}

AffineExpression operator+(double c, Variable v) { return c + AffineExpression(v); }

AffineExpression operator+(AffineExpression e, Variable v) {
    const auto [it, inserted] = e.coefficients.try_emplace(v, 1.0);
    if (!inserted) it->second = 1.0 + it->second;
    return e;
}

AffineExpression operator+(AffineExpression e, const AffineExpression& f) {
    e += f;
    return e;
}

AffineExpression& operator+=(AffineExpression& e, const AffineExpression& f) {
    for (const auto& [v, a] : f.coefficients) {
        const auto [it, inserted] = e.coefficients.try_emplace(v, a);
        if (!inserted) it->second = a + it->second;
    }
    e.constant = f.constant + e.constant;
    return e;
}

QuadraticExpression operator*(AffineExpression e, const AffineExpression& f) {
    QuadraticExpression result;
    result.quadratic.reserve(e.coefficients.size() * f.coefficients.size());
    for (const auto& [u, a] : e.coefficients) {
        for (const auto& [w, b] : f.coefficients) {
            const IndexPair key{std::min(u.index(), w.index()), std::max(u.index(), w.index())};
            const auto [it, inserted] = result.quadratic.try_emplace(key, b * a);
            if (!inserted) it->second += b * a;
        }
    }

    const double constant = e.constant * f.constant;
    result.linear.coefficients.reserve(e.coefficients.size() + f.coefficients.size());
    for (const auto& [w, b] : f.coefficients) result.linear.coefficients.emplace(w, b * e.constant);
    for (auto& entry : e.coefficients) entry.second *= f.constant;
    e.constant = 0.0;
    // Every variable of either operand keeps an entry, also with 0.0.
    result.linear += e;
    result.linear.constant = constant;
    return result;
}

QuadraticExpression square(AffineExpression e) {
    AffineExpression left = e;
    return std::move(left) * e;
}

QuadraticExpression& operator+=(QuadraticExpression& q, const QuadraticExpression& r) {
    for (const auto& [key, c] : r.quadratic) {
        const auto [it, inserted] = q.quadratic.try_emplace(key, c);
        if (!inserted) it->second = c + it->second;
    }
    q.linear += r.linear;
    return q;
}

}  // namespace velmora::qp
