#pragma once
// Taubin's algebraic circle fit, solved through LAPACK's dgesvd.

#include <optional>
#include <span>
#include <vector>

namespace velmora {

namespace detail {
struct FitAccess;
}

/// A fitted circle and the root-mean-square radial error of the points.
struct CircleFit {
    double cx = 0.0;
    double cy = 0.0;
    double r = 0.0;  ///< never negative
    double rmse = 0.0;
};

/// Scratch memory of the fit, kept between calls so that repeated fits (as in
/// the circle segment decomposition) allocate only when a run is longer than
/// any before.
class FitWorkspace {
public:
    FitWorkspace() = default;

private:
    friend struct detail::FitAccess;
    std::vector<double> matrix_;
    std::vector<double> work_;
};

/// Fits a circle to the points (x[i], y[i]); x and y must be equally long.
/// No result for an empty run, unequal lengths, non-finite coordinates or a
/// failed decomposition; std::bad_alloc when memory for the decomposition is
/// short. A finite run that defines no circle gives a NaN RMSE, which no
/// threshold accepts: all points coinciding give NaN throughout, exactly
/// collinear points a non-finite centre and radius. The result is bit for bit
/// that of LAPACK's dgesvd on the whole n x 3 matrix.
std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y,
                                           FitWorkspace& workspace);
std::optional<CircleFit> taubin_circle_fit(std::span<const double> x, std::span<const double> y);

}  // namespace velmora
