#pragma once
// A smooth distance-along-the-path-over-time profile from noisy distance
// samples: the posterior mean of an integrated Wiener process (white
// acceleration of spectral density q) observed with independent noise.
//
// Unknowns are the distance s_i and the speed v_i at every sample time t_i;
// the profile minimises
//   J = sum_i (s_i - z_i)^2 / noise_i^2 + sum_k r_k' Q_k^-1 r_k,
//   r_k = (s_{k+1} - s_k - v_k d_k, v_{k+1} - v_k),
//   Q_k = q [[d_k^3/3, d_k^2/2], [d_k^2/2, d_k]],  d_k = t_{k+1} - t_k.
// At the samples this is the cubic smoothing spline; between two samples
// the profile is the cubic Hermite through (s_k, v_k) and (s_{k+1}, v_{k+1}).
//
// With `monotone`, the profile never goes backwards, at the samples or
// between them: v_i >= 0, and on every interval
//   v_k d_k <= 3 (s_{k+1} - s_k)  and  v_{k+1} d_k <= 3 (s_{k+1} - s_k),
// which keep the Hermite between them monotone (and give s_{k+1} >= s_k).
// v_i >= 0 and s_{k+1} >= s_k alone would not: near a stop the Hermite
// between two such samples can overshoot and come back, by many times the
// noise. An unconstrained profile that goes nowhere backwards is returned
// as it is, even where its end speeds exceed those bounds.

#include <span>
#include <variant>
#include <vector>

#include "velmora/qp/solver_error.hpp"

namespace velmora {

/// Distance and speed at each sample time, in the units of the input.
struct DistanceProfile {
    std::vector<double> distance;
    std::vector<double> speed;
};

/// Fits the profile. Without constraints, or when the unconstrained profile
/// goes nowhere backwards, the normal equations are solved directly (banded,
/// O(n)); otherwise the constrained problem goes to Clarabel, and its
/// solution is made exact by an active-set method. Under `monotone` the
/// returned speeds are never negative and the distances never decrease,
/// exactly. One sample gives s = z, v = 0.
///
/// A solve that does not succeed (the solver's status, or normal equations
/// that are numerically singular, as for noise so large against the data
/// that every sample's weight vanishes) is a qp::SolverError.
///
/// Throws InvalidArgumentError when the lengths differ, there is no sample,
/// a time or distance is not finite, the times do not strictly increase, a
/// noise is not finite and > 0, or acceleration_density is not finite and > 0.
[[nodiscard]] std::variant<DistanceProfile, qp::SolverError> fit_distance_profile(
    std::span<const double> time, std::span<const double> distance, std::span<const double> noise,
    double acceleration_density, bool monotone);

}  // namespace velmora
