#include "qp/solver_memory.hpp"

#include <new>

#include "core/memory.hpp"

namespace velmora::qp::detail {

namespace {

// Twice the measured need per unit, plus room for the allocator's own
// bookkeeping and the first arenas.
constexpr std::size_t bytes_per_unit = 320;
constexpr std::size_t fixed_bytes = std::size_t{2} << 20;

std::size_t checked_add(std::size_t a, std::size_t b) {
    if (b > static_cast<std::size_t>(-1) - a) throw std::bad_alloc();
    return a + b;
}

}  // namespace

std::size_t solver_memory_estimate(const AssembledProblem& problem) {
    // Clarabel keeps the upper triangle of P: about half of its entries plus
    // the diagonal.
    std::size_t units = checked_add(problem.p.nnz(), problem.p.n) / 2;
    units = checked_add(units, problem.a.nnz());
    units = checked_add(units, problem.q.size());
    units = checked_add(units, problem.b.size());
    return checked_add(checked_mul(units, bytes_per_unit), fixed_bytes);
}

void ensure_memory_available(std::size_t bytes) {
    check_allocation(bytes, 1);
    if (!can_map(bytes)) throw std::bad_alloc();
}

}  // namespace velmora::qp::detail
