#pragma once
// The Python object that owns one Path2D record, and how its methods reach
// the record under a borrow.

#include <type_traits>
#include <utility>

#include "borrow.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "velmora/path2d.hpp"

namespace velmora::python {

struct PyPath2D {
    PyObject_HEAD Path2D path;
    BorrowFlag borrow;
};

/// The Path2D type object, created on first use (null with an error set on failure).
PyTypeObject* path2d_type();

struct MemberTables;
/// The methods and properties of Path2D (path2d_methods.cpp).
MemberTables path2d_members();

/// A new Python Path2D that takes over the record.
object wrap(Path2D&& path);

/// The receiver as a Path2D, or TypeError "'{type}' object cannot be converted to 'Path2D'".
PyPath2D& as_path2d(handle self);

/// The receiver of Path2D's method rows (method_table.hpp): checks the type,
/// then holds the borrow that the body's receiver parameter asks for while
/// the arguments are converted and the body runs.
struct Path2DClass {
    static constexpr const char* name = "Path2D";

    template <class Receiver, class Run>
    static object with_receiver(PyObject* self, Run&& run) {
        PyPath2D& me = as_path2d(self);
        if constexpr (std::is_same_v<Receiver, Path2D&>) {
            BorrowFlag::Exclusive guard(me.borrow);
            return run(me.path);
        } else {
            static_assert(std::is_same_v<Receiver, const Path2D&>,
                          "a Path2D body takes `const Path2D&` (shared) or `Path2D&` (exclusive)");
            BorrowFlag::Shared guard(me.borrow);
            return run(std::as_const(me.path));
        }
    }
};

}  // namespace velmora::python
