#include <limits>
#include <new>

#include "velmora/error.hpp"
#include "velmora/memory.hpp"
#include "velmora/spline.hpp"

namespace velmora {

std::vector<double> linspace(std::int32_t start, std::size_t count, double end,
                             std::size_t extra_capacity) {
    if (count == 0) throw_index_out_of_bounds(0, 0);
    if (extra_capacity > std::numeric_limits<std::size_t>::max() - count) throw std::bad_alloc();
    check_allocation(count + extra_capacity, sizeof(double));

    std::vector<double> grid;
    grid.reserve(count + extra_capacity);
    grid.resize(count, 0.0);
    grid[0] = static_cast<double>(start);
    // With count 1 this overwrites the start: the grid is [end].
    grid[count - 1] = end;
    if (count >= 3) {
        const double step = (end - static_cast<double>(start)) / (static_cast<double>(count) - 1.0);
        for (std::size_t i = 1; i + 1 < count; ++i) grid[i] = static_cast<double>(i) * step + grid[0];
    }
    return grid;
}

}  // namespace velmora
