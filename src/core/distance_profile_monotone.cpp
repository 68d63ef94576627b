// Whether a profile goes backwards, and the small repairs that put a
// solver's result exactly on the monotone side, in the scaled units.
//
// Between samples k and k+1 the profile is the cubic Hermite through
// (s_k, v_k) and (s_{k+1}, v_{k+1}); its speed there is a quadratic with
// Bernstein coefficients v_k, m = 3 (s_{k+1} - s_k) / d - v_k - v_{k+1} and
// v_{k+1}, which is never negative on the interval exactly when v_k >= 0,
// v_{k+1} >= 0 and m >= -sqrt(v_k v_{k+1}). That set is not polyhedral, so
// the QP keeps the profile in the box v_k d <= 3 (s_{k+1} - s_k) and
// v_{k+1} d <= 3 (s_{k+1} - s_k) (with v >= 0 these give s_{k+1} >= s_k), a
// part of it (Fritsch and Carlson's) that holds every monotone Hermite
// whose end speeds are at most three times its mean speed.

#include <algorithm>
#include <cmath>

#include "core/distance_profile_model.hpp"

namespace velmora::detail {

bool monotone_at_samples(std::span<const double> x, double tolerance) {
    const std::size_t n = x.size() / 2;
    for (std::size_t i = 0; i < n; ++i) {
        if (x[2 * i + 1] < -tolerance) return false;
        if (i + 1 < n && x[2 * i + 2] - x[2 * i] < -tolerance) return false;
    }
    return true;
}

void clip_to_monotone(std::span<double> x) {
    const std::size_t n = x.size() / 2;
    for (std::size_t i = 0; i < n; ++i) {
        x[2 * i + 1] = std::max(x[2 * i + 1], 0.0);
        if (i > 0) x[2 * i] = std::max(x[2 * i], x[2 * i - 2]);
    }
}

void cap_to_box(const ScaledProfileProblem& problem, std::span<double> x) {
    for (std::size_t k = 0; k + 1 < problem.size(); ++k) {
        const double cap = 3.0 * (x[2 * k + 2] - x[2 * k]) / problem.step[k];
        x[2 * k + 1] = std::min(x[2 * k + 1], cap);
        x[2 * k + 3] = std::min(x[2 * k + 3], cap);
    }
}

// In the input's units, so that the profile handed out keeps the promise
// after its rounding: distances rounded to their own precision move the
// bounds by as much.
void clip_to_monotone(DistanceProfile& profile) {
    for (std::size_t i = 0; i < profile.speed.size(); ++i) {
        profile.speed[i] = std::max(profile.speed[i], 0.0);
        if (i > 0) profile.distance[i] = std::max(profile.distance[i], profile.distance[i - 1]);
    }
}

bool monotone_between_samples(const DistanceProfile& profile, std::span<const double> time) {
    const std::vector<double>& s = profile.distance;
    for (std::size_t k = 0; k + 1 < s.size(); ++k) {
        const double a = profile.speed[k], b = profile.speed[k + 1];
        const double middle = 3.0 * (s[k + 1] - s[k]) / (time[k + 1] - time[k]) - a - b;
        if (middle < 0.0 && middle * middle > a * b) return false;
    }
    return true;
}

void cap_to_box(DistanceProfile& profile, std::span<const double> time) {
    const std::vector<double>& s = profile.distance;
    for (std::size_t k = 0; k + 1 < s.size(); ++k) {
        const double cap = 3.0 * (s[k + 1] - s[k]) / (time[k + 1] - time[k]);
        profile.speed[k] = std::min(profile.speed[k], cap);
        profile.speed[k + 1] = std::min(profile.speed[k + 1], cap);
    }
}

}  // namespace velmora::detail
