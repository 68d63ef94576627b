#pragma once
// Size checks made before a large result is allocated. With memory
// overcommitted, an allocation that succeeds can still get the process
// killed once it is written, so results larger than the machine's physical
// memory are refused up front with std::bad_alloc.

#include <cstddef>

namespace velmora {

/// Physical memory of the machine in bytes (cached after the first call).
std::size_t physical_memory_bytes() noexcept;

/// Throws std::bad_alloc when count elements of elem_size bytes would
/// overflow size_t or exceed physical memory. Sizes that fit pass silently.
void check_allocation(std::size_t count, std::size_t elem_size);

/// count * factor with overflow reported as std::bad_alloc.
std::size_t checked_mul(std::size_t count, std::size_t factor);

}  // namespace velmora
