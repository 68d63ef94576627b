// Elastic band smoothing: the smoothed coordinates minimise the sum of
// squared second differences, the end points stay fixed and every interior
// point stays within max_deviation of its input position, either in an
// axis-aligned square or along the path normal.

#include <cmath>
#include <variant>

#include "velmora/error.hpp"
#include "velmora/path2d.hpp"
#include "velmora/qp/qp.hpp"

namespace velmora {

namespace {

using qp::AffineExpression;
using qp::Bounded;
using qp::Constraint;
using qp::Equality;
using qp::Variable;

void sin_cos(double angle, double& s, double& c) {
#if defined(__GLIBC__)
    ::sincos(angle, &s, &c);
#else
    s = std::sin(angle);
    c = std::cos(angle);
#endif
}

qp::ClarabelSettings smoothing_settings() {
    qp::ClarabelSettings settings;
    settings.verbose = false;
    settings.max_iter = 1000;
    settings.tol_gap_abs = 1e-4;
    settings.tol_gap_rel = 1e-4;
    settings.tol_feas = 1e-4;
    settings.iterative_refinement_reltol = 1e-4;
    settings.iterative_refinement_abstol = 1e-4;
    return settings;
}

// Sum over the interior of (v[i-1] - 2 v[i] + v[i+1])^2.
void add_second_differences(qp::QuadraticExpression& objective, const std::vector<Variable>& v) {
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
        objective += qp::square(-(2 * v[i]) + v[i + 1] + v[i - 1]);
    }
}

}  // namespace

std::variant<Path2D, qp::SolverError> Path2D::smoothed_path_elastic_band(
    double max_deviation, ElasticBandMethod method) const {
    const std::size_t n = size();
    const double d = max_deviation;
    const std::vector<double>& theta = orientation();

    qp::ProblemVariables variables;
    const std::vector<Variable> x = variables.add_vector(n, std::nullopt, std::nullopt);
    const std::vector<Variable> y = variables.add_vector(n, std::nullopt, std::nullopt);

    qp::QuadraticExpression objective;
    objective.quadratic.reserve(n >= 3 ? 6 * n : 0);
    add_second_differences(objective, x);
    add_second_differences(objective, y);

    // The first index raises the error for a path without points.
    const Variable x_first = at_checked(x, 0);
    const Variable y_first = at_checked(y, 0);
    const Variable x_last = at_checked(x, n - 1);
    const Variable y_last = at_checked(y, n - 1);
    const std::size_t interior = n >= 3 ? n - 2 : 0;

    std::vector<Constraint> constraints;
    constraints.reserve(4 + interior * (method == ElasticBandMethod::SquareBounds ? 2 : 4));
    constraints.emplace_back(Equality{x_first - points_[0].x});
    constraints.emplace_back(Equality{y_first - points_[0].y});
    constraints.emplace_back(Equality{x_last - points_[n - 1].x});
    constraints.emplace_back(Equality{y_last - points_[n - 1].y});

    if (method == ElasticBandMethod::SquareBounds) {
        for (std::size_t i = 1; i <= interior; ++i) {
            constraints.emplace_back(Bounded{-d, d, x[i] - points_[i].x});
            constraints.emplace_back(Bounded{-d, d, y[i] - points_[i].y});
        }
    } else {
        // o[i-1] is the offset of interior point i along its right-hand
        // normal (sin theta, -cos theta), normalised to [-1, 1].
        const std::vector<Variable> o = variables.add_vector(interior, std::nullopt, std::nullopt);
        for (std::size_t i = 1; i <= interior; ++i) {
            double s = 0.0;
            double c = 0.0;
            sin_cos(theta[i], s, c);
            const Variable offset = o[i - 1];
            constraints.emplace_back(Equality{(points_[i].x + (s * d) * offset) - x[i]});
            constraints.emplace_back(Equality{(points_[i].y + (c * (-d)) * offset) - y[i]});
            constraints.emplace_back(Bounded{std::nullopt, 0.0, offset - 1.0});
            constraints.emplace_back(Bounded{std::nullopt, 0.0, -1.0 - offset});
        }
    }

    const qp::ClarabelSolver solver(smoothing_settings());
    const qp::SolveResult result =
        solver.solve(std::move(variables), std::move(objective), std::move(constraints));
    if (const auto* error = std::get_if<qp::SolverError>(&result)) return *error;
    const auto* solved = std::get_if<qp::SolvedProblem>(&result);

    const std::vector<double> xs = solved->eval_vec(x);
    const std::vector<double> ys = solved->eval_vec(y);
    std::vector<Point> smoothed(n);
    for (std::size_t i = 0; i < n; ++i) smoothed[i] = Point{xs[i], ys[i]};
    return Path2D::from_points(std::move(smoothed));
}

}  // namespace velmora
