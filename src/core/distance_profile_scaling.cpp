// The distance profile's problem in scaled units (see distance_profile_model.hpp).
// The units are kept as exponents and applied with ldexp, so that neither
// they nor the weights overflow on the way for any finite input: only a
// weight or prior whose scaled value is itself out of range saturates.

#include <algorithm>
#include <cmath>

#include "core/distance_profile_model.hpp"

namespace velmora::detail {

namespace {

// The smallest e with 2^e >= x, for a finite x > 0.
int exponent_at_least(double x) {
    int e = 0;
    const double mantissa = std::frexp(x, &e);  // x = mantissa 2^e, mantissa in [0.5, 1)
    return mantissa == 0.5 ? e - 1 : e;
}

// 2^scale / x^power for a finite x > 0 (power 1 to 3), computed on x's
// mantissa so that only the result can leave the range of doubles.
double scaled_inverse_power(double x, int power, int scale) {
    int e = 0;
    const double mantissa = std::frexp(x, &e);
    return std::ldexp(1.0 / std::pow(mantissa, power), scale - power * e);
}

}  // namespace

ScaledProfileProblem scale_profile_problem(std::span<const double> time,
                                           std::span<const double> distance,
                                           std::span<const double> noise,
                                           double acceleration_density) {
    const std::size_t n = distance.size();
    ScaledProfileProblem problem;

    // Half of each extent, computed in halves so that no difference of two
    // finite inputs overflows. Callers pass distances that are not all equal.
    const auto [lowest, highest] = std::minmax_element(distance.begin(), distance.end());
    problem.distance_origin = 0.5 * *lowest + 0.5 * *highest;
    const int el = exponent_at_least(0.5 * *highest - 0.5 * *lowest);
    const int et = exponent_at_least(0.5 * time[n - 1] - 0.5 * time[0]);
    problem.distance_exponent = el;
    problem.time_exponent = et;

    problem.target.resize(n);
    problem.weight.resize(n);
    problem.step.resize(n - 1);
    const double origin = std::ldexp(problem.distance_origin, -el);
    for (std::size_t i = 0; i < n; ++i) {
        problem.target[i] = std::ldexp(distance[i], -el) - origin;
        problem.weight[i] = scaled_inverse_power(noise[i], 2, 2 * el);
    }
    for (std::size_t k = 0; k + 1 < n; ++k) {
        problem.step[k] = std::ldexp(time[k + 1], -et) - std::ldexp(time[k], -et);
    }
    // q has units of distance^2 / time^3.
    problem.prior = scaled_inverse_power(acceleration_density, 1, 2 * el - 3 * et);
    return problem;
}

}  // namespace velmora::detail
