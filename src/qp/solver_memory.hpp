#pragma once
// Clarabel allocates in Rust, where a failed allocation aborts the process
// instead of unwinding. So the memory a solve will need is checked before
// the solve starts, and its lack is reported as std::bad_alloc.

#include <cstddef>

#include "qp/assembly.hpp"

namespace velmora::qp::detail {

/// Address space that solving the problem takes, the shim's copies
/// included: a generous multiple of what Clarabel 0.9.0 was measured to need
/// (about 160 bytes per stored entry and per row and column of its KKT
/// system on banded problems). Problems whose factorisation fills in far
/// beyond their stored entries can need more.
std::size_t solver_memory_estimate(const AssembledProblem& problem);

/// Throws std::bad_alloc unless `bytes` of private writable memory can be
/// mapped at this moment (address-space and data limits, overcommit policy)
/// and fit the machine's memory. Maps without touching, then unmaps.
void ensure_memory_available(std::size_t bytes);

}  // namespace velmora::qp::detail
