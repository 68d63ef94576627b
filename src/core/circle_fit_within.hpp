#pragma once
// The circle fit as the segment decomposition uses it: only whether the RMSE
// stays within a threshold matters there.

#include <cstddef>
#include <optional>
#include <span>

#include "velmora/circle_fit.hpp"

namespace velmora::detail {

/// The sums of a run's coordinates, added in index order from 0.0: exactly
/// what the fit's first pass computes.
struct CoordinateSums {
    double x = 0.0;
    double y = 0.0;
};

/// What a fit may take from and give to the fits of the halves of its run,
/// which the decomposition makes next: a run's coordinate sums are a by-product
/// of its parent's second pass, which saves each half its first pass.
struct SumsShared {
    const CoordinateSums* known = nullptr;  ///< the run's own sums, when known
    std::size_t split = 0;                  ///< first index of the second half
    CoordinateSums* halves = nullptr;       ///< receives the halves' sums (two)
};

/// taubin_circle_fit, except that the RMSE pass stops as soon as a partial
/// sum shows that `max_rmse >= rmse` fails; the RMSE reported is then that
/// partial value, which max_rmse rejects just as it would the full one.
/// Centre and radius are always complete.
std::optional<CircleFit> taubin_circle_fit_within(std::span<const double> x,
                                                  std::span<const double> y, FitWorkspace& ws,
                                                  double max_rmse, const SumsShared& sums = {});

}  // namespace velmora::detail
