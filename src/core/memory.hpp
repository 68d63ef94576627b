#pragma once
// Size checks made before a large result is allocated. With memory
// overcommitted, an allocation that succeeds can still get the process
// killed once it is written, so results larger than the memory the process
// may use are refused up front with std::bad_alloc. That memory is the
// smallest of the machine's physical memory, the memory limit of the
// process's cgroup (inside a container it is usually far lower) and its
// address-space limit (RLIMIT_AS).

#include <cstddef>
#include <string>

namespace velmora {

/// Physical memory of the machine in bytes (cached after the first call).
std::size_t physical_memory_bytes() noexcept;

/// The memory limit of this process's cgroup, read from the file tree under
/// root ("/" for the running system): the smallest of the cgroup v2
/// `memory.max` and the cgroup v1 `memory.limit_in_bytes` of the process's
/// cgroup and of its ancestors within each mounted hierarchy, found through
/// root/proc/self/cgroup and root/proc/self/mountinfo. SIZE_MAX when there is
/// no limit or nothing can be read.
std::size_t cgroup_memory_limit_bytes(const std::string& root);

/// The soft RLIMIT_AS of the process, or SIZE_MAX when unlimited.
std::size_t address_space_limit_bytes() noexcept;

/// The most memory one request may take: the smallest of physical memory,
/// the cgroup limit (both read once) and RLIMIT_AS (read on every call, as a
/// process may lower it at any time).
std::size_t memory_limit_bytes() noexcept;

/// Throws std::bad_alloc when count elements of elem_size bytes would
/// overflow size_t or exceed memory_limit_bytes(). Sizes that fit pass silently.
void check_allocation(std::size_t count, std::size_t elem_size);

/// Whether `bytes` of private writable memory can be mapped at this moment
/// (address-space and data limits, overcommit policy): maps without touching,
/// then unmaps. For dependencies that cannot report a failed allocation
/// (Rust aborts, OpenBLAS retries forever), checked before calling them.
bool can_map(std::size_t bytes) noexcept;

/// count * factor with overflow reported as std::bad_alloc.
std::size_t checked_mul(std::size_t count, std::size_t factor);

/// Advises the kernel to back a freshly allocated, not yet written block of
/// 4 MiB or more with transparent huge pages, as NumPy does for its arrays:
/// filling it then takes one page fault per 2 MiB instead of one per 4 KiB,
/// which is most of the cost of writing fresh memory. Smaller blocks, and
/// kernels without the feature, are left as they are.
void advise_huge_pages(const void* data, std::size_t bytes) noexcept;

}  // namespace velmora
