#include "core/memory.hpp"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
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

std::size_t address_space_limit_bytes() noexcept {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(
        std::min<rlim_t>(limit.rlim_cur, std::numeric_limits<std::size_t>::max()));
}

std::size_t memory_limit_bytes() noexcept {
    static const std::size_t machine = [] {
        std::size_t cgroup = std::numeric_limits<std::size_t>::max();
        try {
            cgroup = cgroup_memory_limit_bytes("/");
        } catch (const std::exception&) {
            // No memory left to read it with: physical memory alone.
        }
        return std::min(physical_memory_bytes(), cgroup);
    }();
    return std::min(machine, address_space_limit_bytes());
}

bool can_map(std::size_t bytes) noexcept {
    void* probe =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED) return false;
    ::munmap(probe, bytes);
    return true;
}

std::size_t checked_mul(std::size_t count, std::size_t factor) {
    if (factor != 0 && count > std::numeric_limits<std::size_t>::max() / factor)
        throw std::bad_alloc();
    return count * factor;
}

void advise_huge_pages(const void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t threshold = std::size_t{1} << 22;
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    if (bytes < threshold || page == 0) return;
    // madvise takes whole pages: from the first page boundary in the block.
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (address + page - 1) / page * page;
    ::madvise(reinterpret_cast<void*>(first), address + bytes - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

void check_allocation(std::size_t count, std::size_t elem_size) {
    if (checked_mul(count, elem_size) > memory_limit_bytes()) throw std::bad_alloc();
}

}  // namespace velmora
