#pragma once
// NumPy arrays for the `_np` results. NumPy's C API table is fetched on the
// first array result of the process, never at import, so the module imports
// and works without NumPy for everything that returns no array.

#include <cstddef>

#include "object.hpp"

namespace velmora::python {

/// New C-contiguous float64 array of shape (n,) holding a copy of data.
object new_array_1d(const double* data, std::size_t n);

/// New C-contiguous float64 array of shape (rows, cols) holding a copy of data.
object new_array_2d(const double* data, std::size_t rows, std::size_t cols);

}  // namespace velmora::python
