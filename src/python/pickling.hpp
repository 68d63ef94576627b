#pragma once
// Pickling and copying. The classes report their module as "builtins", where
// pickle cannot look them up by name, so every object reduces to a call of
// the module's private helper: velmora._reconstruct(kind, *fields).

#include <initializer_list>
#include <vector>

#include "object.hpp"
#include "velmora/path2d.hpp"

namespace velmora::python {

/// Adds `_reconstruct` to the module (not to __all__).
void add_reconstruct_helper(PyObject* module);

/// (velmora._reconstruct, (kind, *fields)): the reduction of a value object.
object reduction(const char* kind, std::initializer_list<handle> fields);

/// Doubles as little-endian bytes: bit for bit (NaN payloads and signs) under
/// every protocol, where protocol 0 would write a float as its text.
object pack_doubles(const std::vector<double>& values);

/// The reduction of a path (its `__reduce__` row): coordinates and columns
/// as little-endian doubles.
object reduce_path2d(const Path2D& path);

/// `__reduce__` of the internal-error exception: its arguments and attributes.
PyObject* reduce_panic(PyObject* self, PyObject* unused);

}  // namespace velmora::python
