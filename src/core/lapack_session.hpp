#pragma once
// Serialised access to the statically linked OpenBLAS, with its work buffer
// secured before the first call that needs it.

#include <cstddef>
#include <mutex>

namespace velmora::detail {

/// Held around every LAPACK call sequence. The serial OpenBLAS keeps its
/// buffers in an unlocked table, so concurrent calls would race on it.
/// Construction throws std::bad_alloc when a call on a matrix of `rows` rows
/// would need OpenBLAS's work buffer and the address space cannot hold it:
/// OpenBLAS itself would retry the failing allocation forever.
class LapackSession {
public:
    explicit LapackSession(std::size_t rows);

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace velmora::detail
