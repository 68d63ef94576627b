// The module's functions, one row each.

#include <tuple>
#include <variant>
#include <vector>

#include "method_table.hpp"
#include "module_functions.hpp"
#include "velmora/distance_profile.hpp"

namespace velmora::python {

namespace {

// Python is told only whether there is a profile, not why not.
object profile_or_none(std::variant<DistanceProfile, qp::SolverError>&& result) {
    const DistanceProfile* profile = std::get_if<DistanceProfile>(&result);
    if (profile == nullptr) return none();
    object distance = to_list(profile->distance);
    object speed = to_list(profile->speed);
    return check(PyTuple_Pack(2, distance.ptr(), speed.ptr()));
}

constexpr std::tuple functions{
    Method{"fit_distance_profile",
           params(arg("time"), arg("distance"), arg("noise"), arg("acceleration_density"),
                  arg("monotone", true)),
           +[](Static, std::vector<double> time, std::vector<double> distance,
               std::vector<double> noise, double acceleration_density, bool monotone) {
               return profile_or_none(
                   fit_distance_profile(time, distance, noise, acceleration_density, monotone));
           },
           "Fits a smooth distance-over-time profile to noisy samples of the distance along a\n"
           "path: the posterior mean of an integrated Wiener process (white acceleration of\n"
           "spectral density acceleration_density) observed with independent noise, which at\n"
           "the samples is the cubic smoothing spline, and between them the cubic Hermite\n"
           "through each pair of distance and speed. With monotone, the profile never goes\n"
           "backwards, at the samples or between them. A single sample gives its distance and\n"
           "speed 0. The constrained problem is a QP; CLARABEL [1] is used as the solver.\n\n"
           "[1] https://clarabel.org/stable/\n\n"
           ":param time: Sample times, strictly increasing\n"
           ":param distance: Distance along the path at each sample time\n"
           ":param noise: Standard deviation of each distance sample, > 0\n"
           ":param acceleration_density: Spectral density of the acceleration, > 0, in\n"
           "                    distance^2 / time^3 (m^2/s^3 for metres and seconds)\n"
           ":param monotone: Whether the profile may not go backwards\n\n"
           ":type time: list[float]\n"
           ":type distance: list[float]\n"
           ":type noise: list[float]\n"
           ":type acceleration_density: float\n"
           ":type monotone: bool\n\n"
           ":returns: The distance and the speed at each sample time, or None if the solver\n"
           "          does not succeed\n"
           ":rtype: Option[tuple[list[float], list[float]]]"},
};

}  // namespace

PyMethodDef* module_functions() { return function_table<functions>(); }

}  // namespace velmora::python
