#pragma once
// The distance profile's problem in the units the solvers work in, and its
// solvers: the banded normal equations, the banded KKT system of a face of
// the monotone constraints, the QP through Clarabel and the active-set
// method that makes its solution exact.
//
// Time steps are measured in units of half the recording's span and
// distances from the middle of their range in units of half that range,
// both units rounded up to a power of two so that scaling is exact. The
// distances then lie in [-1, 1], the steps add up to at most 2, steady
// motion has a speed of order 1, and the result's accuracy is relative to
// the data's own extent, whether the steps are milliseconds or hours and
// the distances millimetres or thousands of kilometres.

#include <cstddef>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "velmora/distance_profile.hpp"
#include "velmora/qp/solver_error.hpp"

namespace velmora::detail {

struct ScaledProfileProblem {
    std::vector<double> step;    ///< d_k in time units, n - 1 of them
    std::vector<double> target;  ///< z_i in distance units
    std::vector<double> weight;  ///< 1 / noise_i^2 in distance units
    double prior = 0.0;          ///< 1 / q in the scaled units
    double distance_origin = 0.0;
    int distance_exponent = 0;  ///< the distance unit is 2^distance_exponent
    int time_exponent = 0;      ///< the time unit is 2^time_exponent

    std::size_t size() const noexcept { return target.size(); }
};

/// The problem in scaled units; the arguments must have passed validation
/// and hold at least two samples.
ScaledProfileProblem scale_profile_problem(std::span<const double> time,
                                           std::span<const double> distance,
                                           std::span<const double> noise,
                                           double acceleration_density);

/// The monotone constraints (distance_profile_monotone.cpp): v_i >= 0 and,
/// per interval, the box c_k = 3 (s_{k+1} - s_k) - d_k v_k >= 0 ("leaving")
/// and 3 (s_{k+1} - s_k) - d_k v_{k+1} >= 0 ("arriving").
///
/// A face holds some of them as equalities: one flag per sample and two
/// per interval. The empty face holds nothing.
struct ProfileFace {
    std::vector<unsigned char> zero_speed;
    std::vector<unsigned char> leaving;
    std::vector<unsigned char> arriving;
};

/// The minimiser of J on a face, and the multipliers of its constraints.
struct FaceSolution {
    std::vector<double> x;  ///< interleaved: (s_0, v_0, s_1, v_1, ...)
    /// The multipliers of the held constraints for J / 2, 0 for the others;
    /// all of them >= 0 when x minimises J under the monotone constraints.
    std::vector<double> speed_multiplier;
    std::vector<double> leaving_multiplier;
    std::vector<double> arriving_multiplier;
};

/// Minimises J on the face: from the normal equations where it holds speeds
/// only (banded, see distance_profile_band.cpp), from the KKT system where it
/// holds box constraints (distance_profile_kkt.cpp); nullopt when they are
/// numerically singular or too ill-conditioned for the solution to settle.
/// The face's held rows must be independent.
std::optional<FaceSolution> solve_on_face(const ScaledProfileProblem& problem,
                                          const ProfileFace& face);
std::optional<FaceSolution> solve_on_kkt_face(const ScaledProfileProblem& problem,
                                              const ProfileFace& face);

/// Calls add(row, column, value) for the entries of H (the normal equations'
/// matrix, J / 2's Hessian) on and below the diagonal, in the interleaved
/// order, a position once per term that reaches it (values to be summed).
/// With d = d_k and p = 1/q, interval k's prior term is
///   r' Q^-1 r = p [12 e^2 / d^3 + (v_{k+1} - v_k)^2 / d],
/// e = s_{k+1} - s_k - d (v_k + v_{k+1}) / 2 (the trapezoid residual), whose
/// Hessian (half of it) on (s_k, v_k, s_{k+1}, v_{k+1}) is
///   p [[ 12/d^3,  6/d^2, -12/d^3,  6/d^2],
///      [  6/d^2,  4/d,    -6/d^2,  2/d  ],
///      [-12/d^3, -6/d^2,  12/d^3, -6/d^2],
///      [  6/d^2,  2/d,    -6/d^2,  4/d  ]].
template <class Add>
void for_each_hessian_entry(const ScaledProfileProblem& problem, Add&& add) {
    const std::size_t n = problem.size();
    for (std::size_t i = 0; i < n; ++i) add(2 * i, 2 * i, problem.weight[i]);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double d = problem.step[k];
        const double a = 12.0 * problem.prior / (d * d * d);
        const double b = 6.0 * problem.prior / (d * d);
        const double c = 4.0 * problem.prior / d;
        const std::size_t s0 = 2 * k, v0 = s0 + 1, s1 = s0 + 2, v1 = s0 + 3;
        add(s0, s0, a);
        add(v0, s0, b);
        add(s1, s0, -a);
        add(v1, s0, b);
        add(v0, v0, c);
        add(s1, v0, -b);
        add(v1, v0, 0.5 * c);
        add(s1, s1, a);
        add(v1, s1, -b);
        add(v1, v1, c);
    }
}

/// b - H x for the interleaved x, each interval's part computed from its
/// residuals e and v_{k+1} - v_k (distance_profile_band.cpp).
void profile_residual(const ScaledProfileProblem& problem, std::span<const double> x,
                      std::span<double> out);

/// J of the interleaved x, in the scaled units.
double profile_objective(const ScaledProfileProblem& problem, std::span<const double> x);

/// 3 (s_{k+1} - s_k) - d_k v for the speed at interleaved index `speed`.
inline double box_value(const ScaledProfileProblem& problem, std::span<const double> x,
                        std::size_t k, std::size_t speed) {
    return 3.0 * (x[2 * k + 2] - x[2 * k]) - problem.step[k] * x[speed];
}

/// The minimiser of J under the monotone constraints: through the QP layer
/// and Clarabel, then made exact (distance_profile_qp.cpp), from the
/// unconstrained one where Clarabel fails; the interleaved solution.
std::variant<std::vector<double>, qp::SolverError> solve_monotone_profile(
    const ScaledProfileProblem& problem, const std::vector<double>& unconstrained);

/// The minimiser of J under the monotone constraints, from an approximate
/// one; nullopt when the active-set method does not settle.
std::optional<std::vector<double>> exact_monotone_profile(const ScaledProfileProblem& problem,
                                                          const std::vector<double>& start);

/// Whether no speed of x is below -tolerance and no distance falls by more.
bool monotone_at_samples(std::span<const double> x, double tolerance);
/// The same repairs in scaled units (x) and in the input's (a profile):
/// negative speeds become 0, a distance below its predecessor takes its
/// value; and, for a profile monotone at the samples, whether no Hermite
/// between two samples goes backwards, and speeds above the box's cap come
/// down to it.
void clip_to_monotone(std::span<double> x);
void cap_to_box(const ScaledProfileProblem& problem, std::span<double> x);
void clip_to_monotone(DistanceProfile& profile);
bool monotone_between_samples(const DistanceProfile& profile, std::span<const double> time);
void cap_to_box(DistanceProfile& profile, std::span<const double> time);

}  // namespace velmora::detail
