#pragma once
// One argument binder for every method and constructor: positional-or-keyword
// parameters, the interpreter's fast calling convention, and the binding
// messages ("... takes from 0 to 3 positional arguments but 4 were given").

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "object.hpp"

namespace velmora::python {

struct Param {
    const char* name;
    bool required;
};

/// The interpreter's METH_FASTCALL | METH_KEYWORDS calling convention.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

/// The one place a C function becomes a PyMethodDef's PyCFunction. The
/// interpreter calls it by the row's flags (METH_FASTCALL, METH_NOARGS, ...),
/// not by this type; the detour through void(*)() says the cast is meant.
template <class Result, class... Args>
PyCFunction as_method_pointer(Result (*function)(Args...)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

class Signature {
public:
    static constexpr std::size_t max_params = 8;

    /// function: the name used in messages, e.g. "Path2D.sub_path()".
    Signature(std::string function, std::vector<Param> params);
    Signature(const char* function, std::initializer_list<Param> params)
        : Signature(function, std::vector<Param>(params)) {}

    /// Binds fast-call arguments; out[i] receives a borrowed pointer or nullptr
    /// for an absent argument. Throws python_error with a TypeError set.
    void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

    /// Same for the tuple-and-dict convention of tp_new.
    void bind(PyObject* args, PyObject* kwargs, PyObject** out) const;

private:
    void bind_positional(PyObject* const* args, Py_ssize_t nargs, PyObject** out) const;
    void bind_keyword(PyObject* name, PyObject* value, PyObject** out) const;
    void check_required(PyObject** out) const;
    std::size_t find(PyObject* name) const;  // params_.size() when unknown
    [[noreturn]] void fail(const std::string& message) const;

    std::string function_;
    std::vector<Param> params_;
    std::size_t required_ = 0;
    mutable std::vector<PyObject*> interned_;  // interned parameter names, made on first use
};

}  // namespace velmora::python
