#include "core/lapack_session.hpp"

#include <new>
#include <vector>

#include "core/lapack.hpp"
#include "core/memory.hpp"

namespace velmora::detail {

namespace {

// OpenBLAS (Debian's 0.3.21 serial build) takes the work buffer of a level-2
// call from the stack up to 2048 bytes; dgemv asks for rows + columns + 16
// doubles, which first exceeds that at 239 rows inside the Householder steps
// of a fit. Larger calls take a 128 MiB buffer that OpenBLAS maps on first
// use and then keeps for the life of the process.
constexpr std::size_t rows_on_stack = 200;
constexpr int rows_off_stack = 512;
constexpr std::size_t buffer_bytes = std::size_t{32} << 22;
// Slack for whatever else the process maps between the probe and OpenBLAS's
// own request.
constexpr std::size_t probe_slack = std::size_t{4} << 20;

std::mutex lapack_mutex;
bool buffer_held = false;  // guarded by lapack_mutex

// OpenBLAS maps the buffer anonymously; when that fails it tries malloc of the
// same size, and when that fails too it starts over, without end. A mapping of
// the same size that works now means OpenBLAS's works right after it.
bool address_space_for_buffer() { return can_map(buffer_bytes + probe_slack); }

// A matrix-vector product too large for the stack makes OpenBLAS take its
// buffer now, whatever the fit's own calls would have needed.
void take_buffer() {
    const std::vector<double> a(rows_off_stack, 0.0);
    double y = 0.0;
    const int m = rows_off_stack;
    const int n = 1;
    const int inc = 1;
    const double one = 1.0;  // a zero alpha returns before the buffer is taken
    const double zero = 0.0;
    dgemv_("T", &m, &n, &one, a.data(), &m, a.data(), &inc, &zero, &y, &inc, 1);
}

}  // namespace

LapackSession::LapackSession(std::size_t rows) : lock_(lapack_mutex) {
    if (rows < rows_on_stack || buffer_held) return;
    if (!address_space_for_buffer()) throw std::bad_alloc();
    take_buffer();
    buffer_held = true;
}

}  // namespace velmora::detail
