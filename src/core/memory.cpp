#include "velmora/memory.hpp"

#include <unistd.h>

#include <limits>
#include <new>

namespace velmora {

std::size_t physical_memory_bytes() noexcept {
    static const std::size_t bytes = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page_size = sysconf(_SC_PAGESIZE);
        if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::size_t>::max();
        const auto p = static_cast<std::size_t>(pages);
        const auto s = static_cast<std::size_t>(page_size);
        if (p > std::numeric_limits<std::size_t>::max() / s)
            return std::numeric_limits<std::size_t>::max();
        return p * s;
    }();
    return bytes;
}

std::size_t checked_mul(std::size_t count, std::size_t factor) {
    if (factor != 0 && count > std::numeric_limits<std::size_t>::max() / factor)
        throw std::bad_alloc();
    return count * factor;
}

void check_allocation(std::size_t count, std::size_t elem_size) {
    if (checked_mul(count, elem_size) > physical_memory_bytes()) throw std::bad_alloc();
}

}  // namespace velmora
