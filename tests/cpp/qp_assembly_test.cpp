#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
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
        ADD_FAILURE() << "no velmora::Error";
    } catch (const velmora::Error& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST(CscMatrix, FromTripletsSortsColumnsAndSumsRepeats) {
    // Column 1 starts with the row that ends column 0: repeats are summed within a column only.
    const CscMatrix a = CscMatrix::from_triplets(3, 3, {2, 0, 1, 2, 0, 2, 2}, {0, 2, 0, 0, 0, 2, 1},
                                                 {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(a.m, 3u);
    EXPECT_EQ(a.n, 3u);
    EXPECT_EQ(
        entries(a),
        (Entries{{{0, 0}, 5}, {{1, 0}, 3}, {{2, 0}, 5}, {{2, 1}, 7}, {{0, 2}, 2}, {{2, 2}, 6}}));
    EXPECT_EQ(a.find(2, 0), 5.0);
    EXPECT_EQ(a.find(1, 1), std::nullopt);  // below the column's only row
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
    constraints.emplace_back(Bounded{-1.0, 4.0, x[0] * 2.0 + 0.5});     // rows 2 (upper), 3 (lower)
    constraints.emplace_back(Equality{x[0] + x[1] - 3.0});              // row 0
    constraints.emplace_back(Bounded{7.0, std::nullopt, x[1] - 1.0});   // row 4, lower only
    constraints.emplace_back(Equality{z[0] * -1.0});                    // row 1
    constraints.emplace_back(Bounded{std::nullopt, 2.0, 0.25 + x[1]});  // row 5, upper only

    const auto problem = assemble(registry, square(x[0] - x[1]), constraints);
    EXPECT_EQ(problem.zero_cone_dim, 2u);
    EXPECT_EQ(problem.nonneg_cone_dim, 6u);
    EXPECT_EQ(problem.a.m, 8u);
    EXPECT_EQ(problem.a.n, 3u);
    EXPECT_EQ(problem.b, (std::vector<double>{3.0, -0.0, 3.5, 1.5, -8.0, 1.75, 1.0, -0.0}));
    EXPECT_EQ(entries(problem.a), (Entries{
                                      {{0, 0}, 1.0},
                                      {{0, 1}, 1.0},   // x0 + x1 - 3 = 0
                                      {{1, 2}, -1.0},  // -z = 0
                                      {{2, 0}, 2.0},   // 2 x0 + 0.5 <= 4
                                      {{3, 0}, -2.0},  // 2 x0 + 0.5 >= -1
                                      {{4, 1}, -1.0},  // x1 - 1 >= 7
                                      {{5, 1}, 1.0},   // x1 + 0.25 <= 2
                                      {{6, 2}, 1.0},   // z <= 1
                                      {{7, 2}, -1.0},  // z >= 0
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

// Seeded corpus of modelled problems, built with every operator in random
// order and with coefficients that round. The digests hold the exact bits of
// the assembled arrays and of the solver's solutions as an earlier, map-based
// implementation of the modelling layer produced them: any change in
// summation order, row order or entry layout shows up here.
namespace corpus {

// The 64-bit Mersenne twister's output is fixed by the standard, so the
// corpus is the same with every standard library.
struct Random {
    std::mt19937_64 engine;
    explicit Random(std::uint64_t seed) : engine(seed) {}
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(engine() % n); }
    double coefficient() {
        static constexpr double pool[] = {1.0,       -1.0, 2.0,  -2.0, 0.1,       -0.3,
                                          1.0 / 3.0, 1e-7, -0.0, 0.0,  12345.678, 1e10};
        if (below(3) == 0) return pool[below(std::size(pool))];
        return (static_cast<double>(engine() >> 11) * 0x1.0p-53 - 0.5) * 8.0;
    }
    std::optional<double> bound() {
        if (below(3) == 0) return std::nullopt;
        return coefficient();
    }
};

AffineExpression affine(Random& rng, std::size_t n, int depth = 0) {
    AffineExpression e = rng.below(4) == 0 ? AffineExpression(rng.coefficient())
                                           : AffineExpression(Variable{rng.below(n)});
    const std::size_t steps = rng.below(6);
    for (std::size_t s = 0; s < steps; ++s) {
        const Variable v{rng.below(n)};
        const double c = rng.coefficient();
        switch (rng.below(depth < 2 ? 11 : 9)) {
            case 0:
                e = std::move(e) + v;
                break;
            case 1:
                e = std::move(e) - v;
                break;
            case 2:
                e = std::move(e) - c;
                break;
            case 3:
                e = c + std::move(e);
                break;
            case 4:
                e = -std::move(e);
                break;
            case 5:
                e += v * c;
                break;
            case 6:
                e = std::move(e) + c * v;
                break;
            case 7:
                e = std::move(e) + (v - c);
                break;
            case 8:
                e = std::move(e) - (c + v);
                break;
            case 9:
                e = std::move(e) + affine(rng, n, depth + 1);
                break;
            default:
                e = std::move(e) - affine(rng, n, depth + 1);
                break;
        }
    }
    return e;
}

QuadraticExpression objective(Random& rng, std::size_t n) {
    QuadraticExpression q;
    const std::size_t terms = rng.below(5);
    for (std::size_t t = 0; t < terms; ++t) {
        switch (rng.below(4)) {
            case 0:
                q += square(affine(rng, n));
                break;
            case 1:
                q += affine(rng, n) * affine(rng, n);
                break;
            case 2:
                q += affine(rng, n) * AffineExpression(rng.coefficient());
                break;
            default:
                q += AffineExpression(rng.coefficient()) * affine(rng, n);
                break;
        }
    }
    return q;
}

struct Problem {
    ProblemVariables registry;
    QuadraticExpression objective;
    std::vector<Constraint> constraints;
};

Problem problem(Random& rng) {
    Problem p;
    const std::size_t n = 1 + rng.below(10);
    for (std::size_t k = 0; k < n; ++k) p.registry.add_vector(1, rng.bound(), rng.bound());
    p.objective = objective(rng, n);
    const std::size_t count = rng.below(8);
    for (std::size_t k = 0; k < count; ++k) {
        if (rng.below(3) == 0) {
            p.constraints.emplace_back(Equality{affine(rng, n)});
        } else {
            std::optional<double> lower = rng.bound(), upper = rng.bound();
            if (!lower && !upper) upper = 1.0;  // keep A and b of one height
            p.constraints.emplace_back(Bounded{lower, upper, affine(rng, n)});
        }
    }
    return p;
}

// FNV-1a over the bit patterns of everything fed in.
struct Digest {
    std::uint64_t value = 0xcbf29ce484222325ULL;
    void add(std::uint64_t word) {
        for (int byte = 0; byte < 8; ++byte) {
            value ^= (word >> (8 * byte)) & 0xff;
            value *= 0x100000001b3ULL;
        }
    }
    void add(double v) { add(std::bit_cast<std::uint64_t>(v)); }
    void add(const std::vector<double>& values) {
        add(std::uint64_t{values.size()});
        for (double v : values) add(v);
    }
    void add(const CscMatrix& a, bool upper_only = false) {
        add(std::uint64_t{a.m});
        add(std::uint64_t{a.n});
        for (std::size_t col = 0; col < a.n; ++col) {
            add(std::uint64_t{col});
            for (std::size_t p = a.colptr[col]; p < a.colptr[col + 1]; ++p) {
                if (upper_only && a.rowval[p] > col) continue;
                add(std::uint64_t{a.rowval[p]});
                add(a.nzval[p]);
            }
        }
    }
};

}  // namespace corpus

TEST(Assembly, SeededCorpusKeepsItsDigests) {
    corpus::Random rng(20261207);
    corpus::Digest full, upper, solutions;
    int solved_count = 0, failed_count = 0;
    for (int k = 0; k < 3000; ++k) {
        corpus::Problem p = corpus::problem(rng);
        const auto assembled = assemble(p.registry, p.objective, p.constraints);
        for (corpus::Digest* d : {&full, &upper}) {
            d->add(assembled.q);
            d->add(assembled.a);
            d->add(assembled.b);
            d->add(std::uint64_t{assembled.zero_cone_dim});
            d->add(std::uint64_t{assembled.nonneg_cone_dim});
        }
        full.add(p.objective.quadratic_as_csc(p.registry.size()));
        upper.add(assembled.p, true);
        if (k % 10 == 0) {
            // Solve a feasible variant: no variable bounds, wide bounds on the
            // Bounded records, one equality at most, and a positive definite
            // objective so that the solve is bounded.
            ProblemVariables free_registry;
            free_registry.add_vector(p.registry.size(), std::nullopt, std::nullopt);
            std::vector<Constraint> loose;
            bool has_equality = false;
            for (Constraint& c : p.constraints) {
                // A row without entries would leave A shorter than b.
                if (std::visit([](const auto& r) { return r.expression.coefficients.empty(); }, c))
                    continue;
                if (auto* bounded = std::get_if<Bounded>(&c)) {
                    if (bounded->lower) bounded->lower = -1e3;
                    if (bounded->upper) bounded->upper = 1e3;
                    loose.push_back(std::move(c));
                } else if (!has_equality) {
                    has_equality = true;
                    loose.push_back(std::move(c));
                }
            }
            for (std::size_t v = 0; v < p.registry.size(); ++v)
                p.objective += square(Variable{v} - rng.coefficient());
            const SolveResult result = ClarabelSolver().solve(free_registry, p.objective, loose);
            if (const auto* solved = std::get_if<SolvedProblem>(&result)) {
                solutions.add(solved->solution());
                ++solved_count;
            } else {
                solutions.add(
                    std::uint64_t{10 + static_cast<std::uint64_t>(std::get<SolverError>(result))});
                ++failed_count;
            }
        }
    }
    // Both outcomes are represented.
    EXPECT_GT(solved_count, 100);
    EXPECT_GT(failed_count, 10);
    EXPECT_EQ(full.value, 10871094773995127744u);
    EXPECT_EQ(upper.value, 18289083242819561306u);
    EXPECT_EQ(solutions.value, 1326946854757379557u);
}

}  // namespace
