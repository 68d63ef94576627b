#include "velmora/error.hpp"
#include "velmora/memory.hpp"
#include "velmora/spline.hpp"

namespace velmora {

LinspaceGrid::LinspaceGrid(std::int32_t start, std::size_t count, double end)
    : start_(static_cast<double>(start)), end_(end), count_(count) {
    if (count == 0) throw_index_out_of_bounds(0, 0);
    // The last entry is end itself, not start + (count - 1) * step.
    if (count >= 3) step_ = (end - start_) / (static_cast<double>(count) - 1.0);
}

std::vector<double> linspace(std::int32_t start, std::size_t count, double end) {
    const LinspaceGrid entries(start, count, end);
    check_allocation(count, sizeof(double));

    std::vector<double> grid;
    grid.reserve(count);
    for (std::size_t i = 0; i < count; ++i) grid.push_back(entries[i]);
    return grid;
}

}  // namespace velmora
