#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"
#include "velmora/qp/expression.hpp"
#include "velmora/qp/variables.hpp"

namespace {

using velmora::qp::AffineExpression;
using velmora::qp::IndexPair;
using velmora::qp::ProblemVariables;
using velmora::qp::QuadraticExpression;
using velmora::qp::Variable;

// Order-independent views of the hash maps.
std::map<std::size_t, double> coefficients(const AffineExpression& e) {
    std::map<std::size_t, double> out;
    for (const auto& [v, a] : e.coefficients) out[v.index()] = a;
    return out;
}

std::map<IndexPair, double> quadratic(const QuadraticExpression& q) {
    return {q.quadratic.begin(), q.quadratic.end()};
}

using velmora::testing::bits;

const Variable x0{0}, x1{1}, x2{2};

TEST(ProblemVariables, AddVectorHandsOutConsecutiveIndices) {
    ProblemVariables registry;
    EXPECT_TRUE(registry.add_vector(0, 1.0, 2.0).empty());
    EXPECT_EQ(registry.size(), 0u);

    const auto first = registry.add_vector(2, std::nullopt, std::nullopt);
    const auto second = registry.add_vector(3, 0.0, 1.0);
    EXPECT_EQ(first, (std::vector<Variable>{Variable{0}, Variable{1}}));
    EXPECT_EQ(second, (std::vector<Variable>{Variable{2}, Variable{3}, Variable{4}}));
    ASSERT_EQ(registry.size(), 5u);
    EXPECT_EQ(registry.entries()[1], (velmora::qp::VariableBounds{}));
    EXPECT_EQ(registry.entries()[4], (velmora::qp::VariableBounds{0.0, 1.0}));
}

// A model registered variable by variable (interleaving two kinds) must grow
// its registry geometrically: a reallocation per call made that quadratic.
TEST(ProblemVariables, OneAtATimeReallocatesLogarithmically) {
    ProblemVariables registry;
    int reallocations = 0;
    const void* storage = nullptr;
    for (int k = 0; k < 20000; ++k) {
        registry.add_vector(1, k % 2 == 0 ? std::optional<double>() : 0.0, std::nullopt);
        if (registry.entries().data() != storage) ++reallocations;
        storage = registry.entries().data();
    }
    EXPECT_LE(reallocations, 30);
}

TEST(AffineExpression, OperatorsFollowTheTable) {
    struct Case {
        const char* name;
        AffineExpression result;
        std::map<std::size_t, double> coefficients;
        double constant;
    };
    const AffineExpression e = 2.0 * x0 + x1 - 0.5;  // {x0: 2, x1: 1}, -0.5
    const std::vector<Case> cases = {
        {"from variable", AffineExpression(x2), {{2, 1.0}}, 0.0},
        {"from double", AffineExpression(4.5), {}, 4.5},
        {"v * c", x1 * 3.0, {{1, 3.0}}, 0.0},
        {"c * v", 3.0 * x1, {{1, 3.0}}, 0.0},
        {"v - c", x2 - 1.5, {{2, 1.0}}, -1.5},
        {"e - c", e - 2.0, {{0, 2.0}, {1, 1.0}}, -2.5},
        {"e - absent v", e - x2, {{0, 2.0}, {1, 1.0}, {2, -1.0}}, -0.5},
        {"e - present v", e - x1, {{0, 2.0}, {1, 0.0}}, -0.5},
        {"c + e", 10.0 + e, {{0, 2.0}, {1, 1.0}}, 9.5},
        {"e + v", e + x0, {{0, 3.0}, {1, 1.0}}, -0.5},
        {"e + f", e + (x1 * 4.0 - 1.0), {{0, 2.0}, {1, 5.0}}, -1.5},
        {"e - f", e - (x1 * 4.0 - 1.0), {{0, 2.0}, {1, -3.0}}, 0.5},
        {"-e", -e, {{0, -2.0}, {1, -1.0}}, 0.5},
        {"c - v", -1.0 - x2, {{2, -1.0}}, -1.0},
        {"second difference", -(2 * x1) + x2 + x0, {{0, 1.0}, {1, -2.0}, {2, 1.0}}, 0.0},
        {"e += e",
         [&] {
             AffineExpression g = e;
             g += g;
             return g;
         }(),
         {{0, 4.0}, {1, 2.0}},
         -1.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(coefficients(c.result), c.coefficients);
        EXPECT_EQ(c.result.constant, c.constant);
    }
}

TEST(AffineExpression, PlusAssignKeepsZeroEntries) {
    AffineExpression e = x0 * 1.0;
    e += x0 * -1.0;
    e += AffineExpression(2.0);
    EXPECT_EQ(coefficients(e), (std::map<std::size_t, double>{{0, 0.0}}));
    EXPECT_EQ(e.constant, 2.0);
}

TEST(AffineExpression, DoubleNegationRestoresEveryBit) {
    AffineExpression e = x0 * 0.1 + x1 * -0.0 + x2 * 1e-300 - 0.0;
    const auto before = coefficients(e);
    const double constant_before = e.constant;
    const AffineExpression once = -e;
    EXPECT_EQ(bits(coefficients(once).at(1)), bits(0.0));  // plain sign flip of -0.0
    const AffineExpression twice = -once;
    for (const auto& [index, a] : coefficients(twice)) EXPECT_EQ(bits(a), bits(before.at(index)));
    EXPECT_EQ(bits(twice.constant), bits(constant_before));
}

TEST(QuadraticExpression, SquareOfSecondDifference) {
    const QuadraticExpression q = square(-(2 * x1) + x2 + x0);
    EXPECT_EQ(quadratic(q),
              (std::map<IndexPair, double>{
                  {{0, 0}, 1}, {{1, 1}, 4}, {{2, 2}, 1}, {{0, 1}, -4}, {{0, 2}, 2}, {{1, 2}, -4}}));
    EXPECT_EQ(coefficients(q.linear),
              (std::map<std::size_t, double>{{0, 0.0}, {1, 0.0}, {2, 0.0}}));
    EXPECT_EQ(q.linear.constant, 0.0);
}

TEST(QuadraticExpression, ProductOfShiftedVariables) {
    const QuadraticExpression q = (x0 + 3.0) * (x1 - 2.0);
    EXPECT_EQ(quadratic(q), (std::map<IndexPair, double>{{{0, 1}, 1.0}}));
    EXPECT_EQ(coefficients(q.linear), (std::map<std::size_t, double>{{0, -2.0}, {1, 3.0}}));
    EXPECT_EQ(q.linear.constant, -6.0);
}

TEST(QuadraticExpression, SquareOfConstantHasOnlyAConstant) {
    const QuadraticExpression q = square(AffineExpression(-3.0));
    EXPECT_TRUE(q.quadratic.empty());
    EXPECT_TRUE(q.linear.coefficients.empty());
    EXPECT_EQ(q.linear.constant, 9.0);
}

TEST(QuadraticExpression, PlusAssignSumsSharedPairsAndCopiesOthers) {
    QuadraticExpression q = x0 * x1;                 // (0,1): 1
    q += x1 * (x0 * 2.0);                            // (0,1): 2 more
    const QuadraticExpression r = square(x2 - 1.0);  // (2,2): 1, x2: -2, constant 1
    q += r;
    EXPECT_EQ(quadratic(q), (std::map<IndexPair, double>{{{0, 1}, 3.0}, {{2, 2}, 1.0}}));
    EXPECT_EQ(coefficients(q.linear).at(2), -2.0);
    EXPECT_EQ(q.linear.constant, 1.0);
}

// The product must agree with multiplying the two values, whatever the
// overlap of the operands' variables.
TEST(QuadraticExpression, ProductEvaluatesToProductOfValues) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> coef(-2.0, 2.0);
    std::uniform_int_distribution<std::size_t> pick(0, 4);
    std::vector<double> point(5);
    for (int trial = 0; trial < 50; ++trial) {
        AffineExpression e(coef(rng)), f(coef(rng));
        for (int k = 0; k < 3; ++k) e += Variable{pick(rng)} * coef(rng);
        for (int k = 0; k < 3; ++k) f += Variable{pick(rng)} * coef(rng);
        for (double& p : point) p = coef(rng);
        const double expected = e.evaluate(point) * f.evaluate(point);
        const QuadraticExpression q = AffineExpression(e) * f;
        EXPECT_NEAR(q.evaluate(point), expected, 1e-12);
        for (const auto& [key, c] : q.quadratic) EXPECT_LE(key.first, key.second);
        EXPECT_NEAR(square(e).evaluate(point), e.evaluate(point) * e.evaluate(point), 1e-12);
    }
}

}  // namespace
