#pragma once
// The module's functions: one row each, as a class's methods are rows of
// its table (method_table.hpp).

#include "object.hpp"

namespace velmora::python {

/// The functions' method table, ending with its sentinel; kept for the process.
PyMethodDef* module_functions();

}  // namespace velmora::python
