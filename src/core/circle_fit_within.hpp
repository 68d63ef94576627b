#pragma once
// The circle fit as the segment decomposition uses it: only whether the RMSE
// stays within a threshold matters there.

#include <optional>
#include <span>

#include "velmora/circle_fit.hpp"

namespace velmora::detail {

/// taubin_circle_fit, except that the RMSE pass stops as soon as a partial
/// sum shows that `max_rmse >= rmse` fails; the RMSE reported is then that
/// partial value, which max_rmse rejects just as it would the full one.
/// Centre and radius are always complete.
std::optional<CircleFit> taubin_circle_fit_within(std::span<const double> x,
                                                  std::span<const double> y, FitWorkspace& ws,
                                                  double max_rmse);

}  // namespace velmora::detail
