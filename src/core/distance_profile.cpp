// The distance profile's entry point: the checks of its arguments, the
// scaling into the solvers' units and back, and the choice between the
// direct solve and the monotone QP.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "core/distance_profile_model.hpp"
#include "velmora/distance_profile.hpp"
#include "velmora/error.hpp"

namespace velmora {

namespace {

// How far the unconstrained solution may go backwards at a sample, in the
// scaled units (a fraction of half the data's range), and still be taken:
// far above the direct solve's rounding, far below any motion that matters.
constexpr double monotone_tolerance = 1e-9;

std::string text(double value) {
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

[[noreturn]] void refuse(const std::string& message) {
    throw InvalidArgumentError("fit_distance_profile: " + message);
}

void check_arguments(std::span<const double> time, std::span<const double> distance,
                     std::span<const double> noise, double acceleration_density) {
    if (time.size() != distance.size() || time.size() != noise.size()) {
        refuse("time, distance and noise differ in length (" + std::to_string(time.size()) + ", " +
               std::to_string(distance.size()) + " and " + std::to_string(noise.size()) + ")");
    }
    if (time.empty()) refuse("needs at least 1 sample (got 0)");
    if (!std::isfinite(acceleration_density) || !(acceleration_density > 0.0)) {
        refuse("acceleration_density must be finite and > 0 (got " + text(acceleration_density) +
               ")");
    }
    for (std::size_t i = 0; i < time.size(); ++i) {
        if (!std::isfinite(time[i])) {
            refuse("time[" + std::to_string(i) + "] is not finite (" + text(time[i]) + ")");
        }
    }
    for (std::size_t i = 1; i < time.size(); ++i) {
        if (!(time[i] > time[i - 1])) {
            refuse("times must increase strictly, but time[" + std::to_string(i) +
                   "] = " + text(time[i]) + " follows time[" + std::to_string(i - 1) +
                   "] = " + text(time[i - 1]));
        }
    }
    for (std::size_t i = 0; i < distance.size(); ++i) {
        if (!std::isfinite(distance[i])) {
            refuse("distance[" + std::to_string(i) + "] is not finite (" + text(distance[i]) + ")");
        }
    }
    for (std::size_t i = 0; i < noise.size(); ++i) {
        if (!std::isfinite(noise[i]) || !(noise[i] > 0.0)) {
            refuse("noise[" + std::to_string(i) + "] must be finite and > 0 (got " +
                   text(noise[i]) + ")");
        }
    }
}

// Whether the scaled problem still says what the input did. A weight or
// prior beyond the range of doubles, fewer than two samples whose weight
// survived (every other one drowned in its noise: no speed is determined)
// or a step lost against the recording's span leave normal equations that
// are singular or infinite where the input's were not.
bool representable(const detail::ScaledProfileProblem& problem) {
    if (!std::isfinite(problem.prior) || !(problem.prior > 0.0)) return false;
    std::size_t weighted = 0;
    for (const double w : problem.weight) {
        if (!std::isfinite(w)) return false;
        if (w > 0.0) ++weighted;
    }
    if (weighted < 2) return false;
    return std::all_of(problem.step.begin(), problem.step.end(), [](double d) { return d > 0.0; });
}

// Back to the input's units.
std::variant<DistanceProfile, qp::SolverError> unscale(const detail::ScaledProfileProblem& problem,
                                                       std::span<const double> solution) {
    const std::size_t n = problem.size();
    DistanceProfile profile{std::vector<double>(n), std::vector<double>(n)};
    const int speed_exponent = problem.distance_exponent - problem.time_exponent;
    for (std::size_t i = 0; i < n; ++i) {
        // Rounding keeps order: a monotone solution stays monotone.
        const double s =
            problem.distance_origin + std::ldexp(solution[2 * i], problem.distance_exponent);
        const double v = std::ldexp(solution[2 * i + 1], speed_exponent);
        // Overflow or a singular system that the factorisation let through.
        if (!std::isfinite(s) || !std::isfinite(v)) return qp::SolverError::NotSolved;
        profile.distance[i] = s;
        profile.speed[i] = v;
    }
    return profile;
}

}  // namespace

std::variant<DistanceProfile, qp::SolverError> fit_distance_profile(
    std::span<const double> time, std::span<const double> distance, std::span<const double> noise,
    double acceleration_density, bool monotone) {
    check_arguments(time, distance, noise, acceleration_density);
    const auto [lowest, highest] = std::minmax_element(distance.begin(), distance.end());
    // At rest without any scatter the data are met exactly at no cost: J = 0.
    if (*lowest == *highest) {
        return DistanceProfile{std::vector<double>(distance.begin(), distance.end()),
                               std::vector<double>(distance.size(), 0.0)};
    }

    const detail::ScaledProfileProblem problem =
        detail::scale_profile_problem(time, distance, noise, acceleration_density);
    if (!representable(problem)) return qp::SolverError::NotSolved;
    std::optional<detail::FaceSolution> direct = detail::solve_on_face(problem, {});
    if (!direct) return qp::SolverError::NotSolved;
    if (!monotone) return unscale(problem, direct->x);
    // The unconstrained profile, where it goes nowhere backwards, is also the
    // constrained one: what it breaks within the solve's rounding is put
    // back on the constraint, so that the promise holds exactly.
    if (detail::monotone_at_samples(direct->x, monotone_tolerance)) {
        auto profile = unscale(problem, direct->x);
        auto* p = std::get_if<DistanceProfile>(&profile);
        if (p == nullptr) return profile;
        detail::clip_to_monotone(*p);
        if (detail::monotone_between_samples(*p, time)) return profile;
    }

    auto constrained = detail::solve_monotone_profile(problem, direct->x);
    direct.reset();
    auto* x = std::get_if<std::vector<double>>(&constrained);
    if (x == nullptr) return std::get<qp::SolverError>(constrained);
    auto profile = unscale(problem, *x);
    if (auto* p = std::get_if<DistanceProfile>(&profile)) {
        // The same for what the QP's solution breaks within its tolerance.
        detail::clip_to_monotone(*p);
        detail::cap_to_box(*p, time);
    }
    return profile;
}

}  // namespace velmora
