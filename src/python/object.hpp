#pragma once
// Reference handles for the Python layer. `handle` borrows; `object` owns
// (copy increfs, move nulls the source, destructor decrefs). Raw pointers
// become objects only through explicit borrow(...) or steal(...), so method
// code never writes Py_INCREF/Py_DECREF by hand.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velmora::python {

class handle {
public:
    handle() noexcept = default;
    handle(PyObject* ptr) noexcept : ptr_(ptr) {}  // NOLINT: implicit from borrowed pointers

    PyObject* ptr() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    PyTypeObject* type() const noexcept { return Py_TYPE(ptr_); }

protected:
    PyObject* ptr_ = nullptr;
};

class object : public handle {
public:
    object() noexcept = default;
    object(const object& other) noexcept : handle(other.ptr_) { Py_XINCREF(ptr_); }
    object(object&& other) noexcept : handle(std::exchange(other.ptr_, nullptr)) {}
    ~object() { Py_XDECREF(ptr_); }

    object& operator=(object other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    /// Gives up ownership; the caller now holds the reference.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    friend object steal(PyObject* ptr) noexcept;
    friend object borrow(PyObject* ptr) noexcept;

private:
    explicit object(PyObject* ptr) noexcept : handle(ptr) {}
};

/// Takes over a new reference (may be null).
inline object steal(PyObject* ptr) noexcept { return object(ptr); }
/// Adds a reference to a borrowed pointer (may be null).
inline object borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return object(ptr);
}

}  // namespace velmora::python
