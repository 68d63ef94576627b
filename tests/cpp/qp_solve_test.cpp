#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <velmora_clarabel.h>
#include "test_support.hpp"

#include "qp/assembly.hpp"
#include "velmora/error.hpp"
#include "velmora/qp/qp.hpp"

namespace {

using namespace velmora::qp;

constexpr double tolerance = 1e-6;

std::vector<double> solution_of(const SolveResult& result) {
    const auto* solved = std::get_if<SolvedProblem>(&result);
    if (solved == nullptr) {
        ADD_FAILURE() << "not solved";
        return {};
    }
    return solved->solution();
}

using velmora::testing::internal_error;

// The defaults come from the shim, which reads them from Clarabel 0.9.0;
// these are that release's documented values, with printing off.
TEST(ClarabelSettings, DefaultsAreClarabelsWithPrintingOff) {
    const ClarabelSettings s;
    EXPECT_FALSE(s.verbose);
    EXPECT_EQ(s.max_iter, 200u);
    EXPECT_EQ(s.tol_gap_abs, 1e-8);
    EXPECT_EQ(s.tol_gap_rel, 1e-8);
    EXPECT_EQ(s.tol_feas, 1e-8);
    EXPECT_EQ(s.iterative_refinement_reltol, 1e-13);
    EXPECT_EQ(s.iterative_refinement_abstol, 1e-12);
    EXPECT_EQ(velmora_clarabel_settings_default(nullptr), VELMORA_CLARABEL_INVALID_ARGUMENT);
}

// Every field must reach Clarabel as itself: the two gap tolerances have equal
// defaults, so only distinct values tell a swap apart. Asked to print,
// Clarabel writes the settings it was given (one decimal, "{:.1e}").
TEST(ClarabelSettings, EachFieldReachesTheSolver) {
    ClarabelSettings s;
    s.verbose = true;
    s.max_iter = 37;
    s.tol_gap_abs = 2e-6;
    s.tol_gap_rel = 3e-7;
    s.tol_feas = 4e-5;
    s.iterative_refinement_reltol = 5e-11;
    s.iterative_refinement_abstol = 6e-12;
    ProblemVariables registry;
    const auto v = registry.add_vector(1, std::nullopt, std::nullopt);
    testing::internal::CaptureStdout();
    (void)ClarabelSolver(s).solve(registry, square(v[0] - 1.0), {});
    const std::string printed = testing::internal::GetCapturedStdout();
    for (const char* line :
         {"  max iter = 37, ", "  tol_feas = 4.0e-5, tol_gap_abs = 2.0e-6, tol_gap_rel = 3.0e-7,",
          "reltol = 5.0e-11, abstol = 6.0e-12,"})
        EXPECT_NE(printed.find(line), std::string::npos) << line << " not in:\n" << printed;

    testing::internal::CaptureStdout();
    (void)ClarabelSolver().solve(registry, square(v[0] - 1.0), {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// minimise (x - 1)^2 + (y - 2)^2 subject to x + y = 1: x = 0, y = 1.
TEST(ClarabelSolver, ProjectsOntoALine) {
    ProblemVariables registry;
    const auto v = registry.add_vector(2, std::nullopt, std::nullopt);
    QuadraticExpression objective = square(v[0] - 1.0);
    objective += square(v[1] - 2.0);
    std::vector<Constraint> constraints;
    constraints.emplace_back(Equality{v[0] + v[1] - 1.0});

    const auto x = solution_of(ClarabelSolver().solve(registry, objective, constraints));
    ASSERT_EQ(x.size(), 2u);
    EXPECT_NEAR(x[0], 0.0, tolerance);
    EXPECT_NEAR(x[1], 1.0, tolerance);
}

// Each kind of inequality row, active at the optimum.
TEST(ClarabelSolver, HonoursEveryKindOfBound) {
    struct Case {
        const char* name;
        std::optional<double> var_lower, var_upper;
        std::optional<Bounded> bound;
        double target;    // unconstrained minimiser of (x - target)^2
        double expected;  // constrained minimiser
    };
    const std::vector<Case> cases = {
        {"constraint upper", {}, {}, Bounded{std::nullopt, 1.0, Variable{0} + 0.5}, 3.0, 0.5},
        {"constraint lower", {}, {}, Bounded{-2.0, std::nullopt, 2.0 * Variable{0}}, -5.0, -1.0},
        {"both, upper active", {}, {}, Bounded{-1.0, 1.0, Variable{0} - 0.0}, 4.0, 1.0},
        {"both, lower active", {}, {}, Bounded{-1.0, 1.0, Variable{0} - 0.0}, -4.0, -1.0},
        {"variable upper", {}, 2.0, std::nullopt, 7.0, 2.0},
        {"variable lower", -3.0, {}, std::nullopt, -7.0, -3.0},
        {"inactive", -3.0, 3.0, std::nullopt, 0.5, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProblemVariables registry;
        const auto v = registry.add_vector(1, c.var_lower, c.var_upper);
        std::vector<Constraint> constraints;
        if (c.bound) constraints.emplace_back(*c.bound);
        const auto x =
            solution_of(ClarabelSolver().solve(registry, square(v[0] - c.target), constraints));
        ASSERT_EQ(x.size(), 1u);
        EXPECT_NEAR(x[0], c.expected, tolerance);
    }
}

// A linear objective with a product term: minimise (x0 + 3)(x1 - 2) + x0^2 + x1^2.
// Gradient: x1 - 2 + 2 x0 = 0 and x0 + 3 + 2 x1 = 0, so x0 = 7/3, x1 = -8/3.
TEST(ClarabelSolver, UsesLinearTermsAndMixedProducts) {
    ProblemVariables registry;
    const auto v = registry.add_vector(2, std::nullopt, std::nullopt);
    QuadraticExpression objective = (v[0] + 3.0) * (v[1] - 2.0);
    objective += square(AffineExpression(v[0]));
    objective += square(AffineExpression(v[1]));
    const auto x = solution_of(ClarabelSolver().solve(registry, objective, {}));
    ASSERT_EQ(x.size(), 2u);
    EXPECT_NEAR(x[0], 7.0 / 3.0, tolerance);
    EXPECT_NEAR(x[1], -8.0 / 3.0, tolerance);
}

TEST(ClarabelSolver, ReportsFailuresAsValues) {
    ProblemVariables registry;
    const auto v = registry.add_vector(1, std::nullopt, std::nullopt);
    std::vector<Constraint> contradictory;
    contradictory.emplace_back(Bounded{1.0, 0.0, AffineExpression(v[0])});
    const SolveResult infeasible =
        ClarabelSolver().solve(registry, square(v[0] - 0.5), contradictory);
    ASSERT_TRUE(std::holds_alternative<SolverError>(infeasible));
    EXPECT_EQ(std::get<SolverError>(infeasible), SolverError::Infeasible);

    ClarabelSettings one_step;
    one_step.max_iter = 1;
    std::vector<Constraint> box;
    box.emplace_back(Bounded{-1.0, 1.0, AffineExpression(v[0])});
    const SolveResult stopped = ClarabelSolver(one_step).solve(registry, square(v[0] - 3.0), box);
    ASSERT_TRUE(std::holds_alternative<SolverError>(stopped));
    EXPECT_EQ(std::get<SolverError>(stopped), SolverError::NotSolved);
}

// Inequality bounds of 1e20 and more state nothing, unless the solution
// breaks them; values no solve can use, and finite equality bounds that
// Clarabel would clip to 1e20, end in a solver error instead of a solution.
TEST(ClarabelSolver, HandlesNonFiniteData) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double nan = std::nan("");
    struct Case {
        const char* name;
        std::optional<double> var_upper;
        std::optional<Bounded> bound;
        double coefficient;
        std::optional<double> expected;  // x of the solution, or none
        SolverError error;
        double pinned = 1.0;  // the equality row pins x0 * coefficient here
    };
    const std::vector<Case> cases = {
        {"infinite upper bound",
         {},
         Bounded{std::nullopt, inf, AffineExpression(Variable{1})},
         1.0,
         3.0,
         {}},
        {"infinite lower bound",
         {},
         Bounded{-inf, std::nullopt, AffineExpression(Variable{1})},
         1.0,
         3.0,
         {}},
        {"huge bounds on both sides",
         {},
         Bounded{-1e300, 1e300, AffineExpression(Variable{1})},
         1.0,
         3.0,
         {}},
        {"infinite variable bound", inf, {}, 1.0, 3.0, {}},
        {"bound of minus infinity",
         {},
         Bounded{std::nullopt, -inf, AffineExpression(Variable{1})},
         1.0,
         {},
         SolverError::Infeasible},
        {"NaN bound",
         {},
         Bounded{nan, std::nullopt, AffineExpression(Variable{1})},
         1.0,
         {},
         SolverError::NotSolved},
        {"NaN coefficient", {}, {}, nan, {}, SolverError::NotSolved},
        {"infinite coefficient", {}, {}, inf, {}, SolverError::NotSolved},
        {"equality at 1e25", {}, {}, 1.0, {}, SolverError::RefusedData, 1e25},
        {"equality at -1e20", {}, {}, 1.0, {}, SolverError::RefusedData, -1e20},
        {"bound counted infinite but broken",
         {},
         Bounded{std::nullopt, 1e20, 1e21 * Variable{1}},
         1.0,
         {},
         SolverError::RefusedData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProblemVariables registry;
        const auto v = registry.add_vector(2, std::nullopt, c.var_upper);
        // minimise (x1 - 3)^2 with x0 pinned to 1 by an equality row
        std::vector<Constraint> constraints;
        constraints.emplace_back(Equality{v[0] * c.coefficient - c.pinned});
        if (c.bound) constraints.emplace_back(*c.bound);
        const SolveResult result =
            ClarabelSolver().solve(registry, square(v[1] - 3.0), constraints);
        if (c.expected) {
            const auto x = solution_of(result);
            ASSERT_EQ(x.size(), 2u);
            EXPECT_NEAR(x[0], 1.0, tolerance);
            EXPECT_NEAR(x[1], *c.expected, tolerance);
        } else {
            ASSERT_TRUE(std::holds_alternative<SolverError>(result));
            EXPECT_EQ(std::get<SolverError>(result), c.error);
        }
    }
}

// Clarabel's own dimension checks end in velmora::Error with its message,
// and the caught panic prints nothing.
TEST(ClarabelSolver, DimensionMismatchCarriesClarabelsMessage) {
    struct Case {
        const char* name;
        std::vector<Constraint> constraints;
        QuadraticExpression objective;
        std::string message;
    };
    std::vector<Case> cases(3);
    cases[0] = {"bounded record without bounds", {}, {}, "A and b incompatible dimensions."};
    cases[0].constraints.emplace_back(
        Bounded{std::nullopt, std::nullopt, AffineExpression(Variable{0})});
    cases[1] = {"constraint past the registry", {}, {}, "A and q incompatible dimensions."};
    cases[1].constraints.emplace_back(Equality{Variable{2} - 1.0});
    cases[2] = {"quadratic entry past the registry", {}, {}, "P and q incompatible dimensions."};
    cases[2].objective.quadratic[{0, 2}] = 1.0;

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProblemVariables registry;
        registry.add_vector(2, std::nullopt, std::nullopt);
        testing::internal::CaptureStderr();
        const std::string message = internal_error(
            [&] { (void)ClarabelSolver().solve(registry, c.objective, c.constraints); });
        const std::string printed = testing::internal::GetCapturedStderr();
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(printed, "");
    }
}

TEST(ClarabelSolver, ConeSizesMustMatchB) {
    detail::AssembledProblem problem;
    problem.p = CscMatrix::zeros(1, 1);
    problem.q = {0.0};
    problem.a = CscMatrix::from_triplets(1, 1, {0}, {0}, {1.0});
    problem.b = {1.0};
    problem.zero_cone_dim = 1;
    problem.nonneg_cone_dim = 1;
    EXPECT_EQ(internal_error([&] { (void)detail::solve_assembled(problem, {}); }),
              "Constraint dimensions inconsistent with size of cones.");
}

TEST(SolvedProblem, EvalVecReadsByIndex) {
    const SolvedProblem solved({1.5, 2.5, 3.5});
    EXPECT_TRUE(solved.eval_vec({}).empty());
    const std::vector<Variable> picked{Variable{2}, Variable{0}, Variable{2}};
    EXPECT_EQ(solved.eval_vec(picked), (std::vector<double>{3.5, 1.5, 3.5}));
    const std::vector<Variable> beyond{Variable{3}};
    EXPECT_EQ(internal_error([&] { (void)solved.eval_vec(beyond); }),
              "index out of bounds: the len is 3 but the index is 3");
}

// The C boundary rejects malformed arrays before Clarabel sees them.
TEST(ClarabelShim, RejectsMalformedArrays) {
    const std::vector<std::size_t> colptr{0, 1, 2};
    const std::vector<std::size_t> rows{0, 1};
    const std::vector<double> values{1.0, 1.0};
    const std::vector<double> q{0.0, 0.0};
    const std::vector<double> b{1.0, 1.0};
    const velmora_csc_view identity{2, 2, 2, colptr.data(), rows.data(), values.data()};

    struct Case {
        const char* name;
        velmora_csc_view a;
        std::size_t x_capacity;
        int32_t code;
        std::string message;
    };
    const std::vector<std::size_t> short_ptr{0, 1, 1};
    const std::vector<std::size_t> falling_ptr{0, 2, 1};
    const std::vector<std::size_t> big_row{0, 5};
    const std::vector<std::size_t> same_rows{1, 1};
    const std::vector<std::size_t> one_column{0, 2};
    const std::vector<Case> cases = {
        {"valid", identity, 2, VELMORA_CLARABEL_OK, ""},
        {"colptr does not end at nnz",
         {2, 2, 2, short_ptr.data(), rows.data(), values.data()},
         2,
         VELMORA_CLARABEL_INVALID_ARGUMENT,
         "A: column pointers do not span 0..2"},
        {"colptr decreases",
         {2, 2, 1, falling_ptr.data(), rows.data(), values.data()},
         2,
         VELMORA_CLARABEL_INVALID_ARGUMENT,
         "A: column pointers decrease at column 1"},
        {"row out of range",
         {2, 2, 2, colptr.data(), big_row.data(), values.data()},
         2,
         VELMORA_CLARABEL_INVALID_ARGUMENT,
         "A: row index out of range in column 1"},
        {"repeated row",
         {2, 1, 2, one_column.data(), same_rows.data(), values.data()},
         2,
         VELMORA_CLARABEL_INVALID_ARGUMENT,
         "A: row indices not increasing in column 0"},
        {"null arrays",
         {2, 2, 2, colptr.data(), nullptr, nullptr},
         2,
         VELMORA_CLARABEL_INVALID_ARGUMENT,
         "A: null pointer for 2 entries"},
        {"small solution buffer", identity, 1, VELMORA_CLARABEL_INVALID_ARGUMENT,
         "solution buffer holds 1 entries but the solution has 2"},
    };
    const std::vector<std::size_t> empty_colptr{0, 0, 0};
    const velmora_csc_view p{2, 2, 0, empty_colptr.data(), nullptr, nullptr};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const velmora_qp_problem problem{p, q.data(), 2, c.a, b.data(), 2, 0, 2};
        velmora_clarabel_settings settings{};
        ASSERT_EQ(velmora_clarabel_settings_default(&settings), VELMORA_CLARABEL_OK);
        std::vector<double> x(2, -1.0);
        std::array<char, 128> error{};
        velmora_qp_output output{};
        output.x = x.data();
        output.x_capacity = c.x_capacity;
        output.error = error.data();
        output.error_capacity = error.size();
        EXPECT_EQ(velmora_clarabel_solve(&problem, &settings, &output), c.code);
        EXPECT_EQ(std::string(error.data()), c.message);
        if (c.code == VELMORA_CLARABEL_OK) {
            // minimise 0 subject to x <= 1: any feasible point
            EXPECT_EQ(output.status, VELMORA_STATUS_SOLVED);
            EXPECT_EQ(output.x_len, 2u);
            EXPECT_LE(x[0], 1.0 + tolerance);
        } else {
            EXPECT_EQ(output.x_len, 0u);
        }
    }
}

TEST(ClarabelShim, TruncatesLongMessagesAndToleratesNullOutput) {
    EXPECT_EQ(velmora_clarabel_solve(nullptr, nullptr, nullptr), VELMORA_CLARABEL_INVALID_ARGUMENT);
    std::array<char, 6> error{};
    velmora_qp_output output{};
    output.error = error.data();
    output.error_capacity = error.size();
    EXPECT_EQ(velmora_clarabel_solve(nullptr, nullptr, &output), VELMORA_CLARABEL_INVALID_ARGUMENT);
    EXPECT_STREQ(error.data(), "null ");
}

}  // namespace
