#pragma once
// The Python object that owns one Path2D record, and the shared plumbing of
// its methods: bind, borrow, convert, run, convert back, release.

#include <utility>

#include "binder.hpp"
#include "borrow.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "velmora/path2d.hpp"

namespace velmora::python {

struct PyPath2D {
    PyObject_HEAD
    Path2D path;
    BorrowFlag borrow;
};

/// The Path2D type object, created on first use (null with an error set on failure).
PyTypeObject* path2d_type();

/// A new Python Path2D that takes over the record.
object wrap(Path2D&& path);

/// The receiver as a Path2D, or TypeError "'{type}' object cannot be converted to 'Path2D'".
PyPath2D& as_path2d(handle self);

/// Fast-call entry point signature of every method.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

/// Runs a method of Path2D under a shared borrow: body(const Path2D&, PyObject** bound).
template <class Body>
PyObject* shared_method(PyObject* self, const Signature& sig, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return guarded([&]() -> object {
        PyObject* bound[Signature::max_params];
        sig.bind(args, nargs, kwnames, bound);
        PyPath2D& me = as_path2d(self);
        BorrowFlag::Shared guard(me.borrow);
        return body(std::as_const(me.path), bound);
    });
}

/// Same under the exclusive borrow: body(Path2D&, PyObject** bound).
template <class Body>
PyObject* exclusive_method(PyObject* self, const Signature& sig, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
    return guarded([&]() -> object {
        PyObject* bound[Signature::max_params];
        sig.bind(args, nargs, kwnames, bound);
        PyPath2D& me = as_path2d(self);
        BorrowFlag::Exclusive guard(me.borrow);
        return body(me.path, bound);
    });
}

/// Converts an optional argument, or gives the default when it was not passed.
template <class T, class Convert>
T optional_argument(PyObject* value, const char* name, T fallback, Convert&& convert) {
    if (value == nullptr) return fallback;
    return argument(name, [&] { return convert(value); });
}

}  // namespace velmora::python
