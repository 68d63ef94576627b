#include <map>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "qp/assembly.hpp"
#include "velmora/error.hpp"
#include "velmora/qp/qp.hpp"

namespace {

using namespace velmora::qp;
using detail::assemble;

using Entries = std::map<std::pair<std::size_t, std::size_t>, double>;

// Checks the CSC invariants and returns the entries keyed by (row, col).
Entries entries(const CscMatrix& a) {
    EXPECT_EQ(a.colptr.size(), a.n + 1);
    EXPECT_EQ(a.colptr.front(), 0u);
    EXPECT_EQ(a.colptr.back(), a.nnz());
    EXPECT_EQ(a.nzval.size(), a.nnz());
    Entries out;
    for (std::size_t col = 0; col < a.n; ++col) {
        for (std::size_t p = a.colptr[col]; p < a.colptr[col + 1]; ++p) {
            EXPECT_LT(a.rowval[p], a.m);
            if (p > a.colptr[col]) EXPECT_LT(a.rowval[p - 1], a.rowval[p]) << "column " << col;
            out[{a.rowval[p], col}] = a.nzval[p];
        }
    }
    return out;
}

void expect_internal_error(auto&& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no InternalError";
    } catch (const velmora::InternalError& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST(CscMatrix, FromTripletsSortsColumnsAndSumsRepeats) {
    const CscMatrix a =
        CscMatrix::from_triplets(3, 3, {2, 0, 1, 2, 0, 2}, {0, 2, 0, 0, 0, 2}, {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(a.m, 3u);
    EXPECT_EQ(a.n, 3u);
    EXPECT_EQ(entries(a), (Entries{{{0, 0}, 5}, {{1, 0}, 3}, {{2, 0}, 5}, {{0, 2}, 2}, {{2, 2}, 6}}));
    EXPECT_EQ(a.find(2, 0), 5.0);
    EXPECT_EQ(a.find(1, 1), std::nullopt);
    expect_internal_error([] { (void)CscMatrix::from_triplets(2, 4, {2}, {0}, {1.0}); },
                          "index out of bounds: the len is 2 but the index is 2");
}

TEST(CscMatrixTripletsBuilder, GrowsToFitEveryEntry) {
    CscMatrixTripletsBuilder builder(1, 2);
    builder.add_triplet(0, 0, 1.0);
    builder.add_triplet(4, 1, 2.0);
    builder.add_triplet(1, 6, 3.0);
    EXPECT_EQ(builder.rows(), 5u);
    EXPECT_EQ(builder.cols(), 7u);
    const CscMatrix a = std::move(builder).build();
    EXPECT_EQ(a.m, 5u);
    EXPECT_EQ(a.n, 7u);
    EXPECT_EQ(entries(a), (Entries{{{0, 0}, 1.0}, {{4, 1}, 2.0}, {{1, 6}, 3.0}}));
    // Rows and columns beyond the entries are kept.
    EXPECT_EQ(std::move(CscMatrixTripletsBuilder(4, 3)).build().colptr.size(), 4u);
}

TEST(QuadraticExpression, QuadraticAsCscHoldsBothTriangles) {
    QuadraticExpression q;
    q.quadratic[{0, 1}] = 2.0;
    q.quadratic[{1, 1}] = 3.0;
    const CscMatrix p = q.quadratic_as_csc(3);
    EXPECT_EQ(p.m, 3u);
    EXPECT_EQ(p.n, 3u);
    EXPECT_EQ(entries(p), (Entries{{{0, 1}, 2.0}, {{1, 0}, 2.0}, {{1, 1}, 6.0}}));

    const CscMatrix empty = QuadraticExpression{}.quadratic_as_csc(4);
    EXPECT_EQ(empty.m, 4u);
    EXPECT_EQ(empty.n, 4u);
    EXPECT_EQ(empty.nnz(), 0u);
}

TEST(QuadraticExpression, LinearAsVectorIsDenseAndChecksIndices) {
    QuadraticExpression q = square(Variable{2} - 1.0);  // x2: -2, constant 1 (dropped)
    EXPECT_EQ(q.linear_as_vector(4), (std::vector<double>{0, 0, -2, 0}));
    EXPECT_EQ(QuadraticExpression{}.linear_as_vector(3), (std::vector<double>{0, 0, 0}));
    expect_internal_error([&] { (void)q.linear_as_vector(2); },
                          "index out of bounds: the len is 2 but the index is 2");
}

TEST(Assembly, RowsComeInEqualityBoundedVariableOrder) {
    ProblemVariables registry;
    const auto x = registry.add_vector(2, std::nullopt, std::nullopt);
    const auto z = registry.add_vector(1, 0.0, 1.0);
    std::vector<Constraint> constraints;
    constraints.emplace_back(Bounded{-1.0, 4.0, x[0] * 2.0 + 0.5});    // rows 2 (upper), 3 (lower)
    constraints.emplace_back(Equality{x[0] + x[1] - 3.0});             // row 0
    constraints.emplace_back(Bounded{7.0, std::nullopt, x[1] - 1.0});  // row 4, lower only
    constraints.emplace_back(Equality{z[0] * -1.0});                   // row 1
    constraints.emplace_back(Bounded{std::nullopt, 2.0, 0.25 + x[1]});   // row 5, upper only

    const auto problem = assemble(registry, square(x[0] - x[1]), constraints);
    EXPECT_EQ(problem.zero_cone_dim, 2u);
    EXPECT_EQ(problem.nonneg_cone_dim, 6u);
    EXPECT_EQ(problem.a.m, 8u);
    EXPECT_EQ(problem.a.n, 3u);
    EXPECT_EQ(problem.b, (std::vector<double>{3.0, -0.0, 3.5, 1.5, -8.0, 1.75, 1.0, -0.0}));
    EXPECT_EQ(entries(problem.a), (Entries{
                                      {{0, 0}, 1.0}, {{0, 1}, 1.0},  // x0 + x1 - 3 = 0
                                      {{1, 2}, -1.0},                // -z = 0
                                      {{2, 0}, 2.0},                 // 2 x0 + 0.5 <= 4
                                      {{3, 0}, -2.0},                // 2 x0 + 0.5 >= -1
                                      {{4, 1}, -1.0},                // x1 - 1 >= 7
                                      {{5, 1}, 1.0},                 // x1 + 0.25 <= 2
                                      {{6, 2}, 1.0},                 // z <= 1
                                      {{7, 2}, -1.0},                // z >= 0
                                  }));
    EXPECT_EQ(entries(problem.p),
              (Entries{{{0, 0}, 2.0}, {{1, 1}, 2.0}, {{0, 1}, -2.0}, {{1, 0}, -2.0}}));
    EXPECT_EQ(problem.q, (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(Assembly, ConeCountsIncludeEmptyCones) {
    struct Case {
        const char* name;
        std::vector<Constraint> constraints;
        std::size_t zero, nonneg;
    };
    std::vector<Case> cases;
    cases.push_back({"nothing", {}, 0, 0});
    cases.push_back({"equalities only", {}, 2, 0});
    cases.back().constraints.emplace_back(Equality{Variable{0} - 1.0});
    cases.back().constraints.emplace_back(Equality{Variable{1} - 1.0});
    cases.push_back({"inequalities only", {}, 0, 2});
    cases.back().constraints.emplace_back(Bounded{0.0, 1.0, Variable{0}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProblemVariables registry;
        registry.add_vector(2, std::nullopt, std::nullopt);
        const auto problem = assemble(registry, QuadraticExpression{}, c.constraints);
        EXPECT_EQ(problem.zero_cone_dim, c.zero);
        EXPECT_EQ(problem.nonneg_cone_dim, c.nonneg);
        EXPECT_EQ(problem.b.size(), c.zero + c.nonneg);
        EXPECT_EQ(problem.a.m, c.zero + c.nonneg);
        EXPECT_EQ(problem.p.nnz(), 0u);
        EXPECT_EQ(problem.q, (std::vector<double>{0.0, 0.0}));
    }
}

// The row count of A follows the number of records and the rows that got
// entries, so records that make no row, or rows without entries, leave A and
// b with different lengths (Clarabel then rejects the problem).
TEST(Assembly, RowCountIsRecordsOrHighestFilledRow) {
    ProblemVariables registry;
    const auto x = registry.add_vector(1, std::nullopt, std::nullopt);
    std::vector<Constraint> unbounded;
    unbounded.emplace_back(Bounded{std::nullopt, std::nullopt, x[0] * 1.0});
    const auto no_rows = assemble(registry, QuadraticExpression{}, unbounded);
    EXPECT_EQ(no_rows.a.m, 1u);
    EXPECT_TRUE(no_rows.b.empty());

    std::vector<Constraint> constant_only;
    constant_only.emplace_back(Bounded{0.0, 1.0, AffineExpression(0.5)});
    const auto empty_rows = assemble(registry, QuadraticExpression{}, constant_only);
    EXPECT_EQ(empty_rows.a.m, 1u);
    EXPECT_EQ(empty_rows.b, (std::vector<double>{0.5, 0.5}));

    std::vector<Constraint> wide;
    wide.emplace_back(Equality{Variable{3} * 1.0});
    EXPECT_EQ(assemble(registry, QuadraticExpression{}, wide).a.n, 4u);
}

}  // namespace
