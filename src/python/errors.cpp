#include "errors.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "binder.hpp"
#include "pickling.hpp"
#include "source_path.hpp"
#include "velmora/error.hpp"

namespace velmora::python {

namespace {

constexpr const char* panic_doc =
    "The exception raised when velmora's native code meets a broken internal expectation.\n\n"
    "It derives from BaseException, like SystemExit, so that `except Exception`\n"
    "does not swallow it.";

// The build passes the project's root directory ("/.../velmora/").
#ifndef VELMORA_SOURCE_ROOT
#define VELMORA_SOURCE_ROOT ""
#endif

const char* project_path(const char* file) {
    return project_relative_path(file, VELMORA_SOURCE_ROOT);
}

void set_panic(const std::string& message, const std::source_location& where) {
    std::fprintf(stderr, "velmora: internal error at %s:%u: %s\n", project_path(where.file_name()),
                 static_cast<unsigned>(where.line()), message.c_str());
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the class failed: that error stays set
    object text =
        steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(type, text.ptr());
}

// The class is a heap type built from a slot table, like the module's own classes,
// so it is immutable; its instances are plain BaseException objects.
void panic_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_dealloc(self);
    Py_DECREF(type);  // a heap type's instances hold a reference to it
}

PyObject* create_panic_type() {
    static PyMethodDef methods[] = {
        {"__reduce__", as_method_pointer(reduce_panic), METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(panic_doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(panic_dealloc)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {
        "pyo3_runtime.PanicException", 0, 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromSpecWithBases(&type_spec, PyExc_BaseException);
}

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // filled once, under the interpreter lock
    if (type == nullptr) type = create_panic_type();
    return type;
}

object check(PyObject* new_reference) {
    if (new_reference == nullptr) throw python_error{};
    return steal(new_reference);
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw python_error{};
}

void raise_panic(const std::string& message, std::source_location where) {
    set_panic(message, where);
    throw python_error{};
}

void clear_ordinary_error() {
    if (PyErr_Occurred() == nullptr) return;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw python_error{};
    PyErr_Clear();
}

void raise_api_failure(std::source_location where) {
    // Only print: PyErr_Print would also set sys.last_* and run sys.excepthook,
    // which a program may have made raise SystemExit.
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) {
        PyErr_NormalizeException(&type, &value, &traceback);
        object owned_type = steal(type);
        object owned_value = steal(value);
        object owned_traceback = steal(traceback);
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        PyErr_Display(type, value, traceback);
        PyErr_Clear();  // a failure to print has nowhere else to go
    }
    raise_panic("Python API call failed", where);
}

void translate_exception() noexcept {
    try {
        throw;
    } catch (const python_error&) {
        if (!PyErr_Occurred()) set_panic("Python API call failed", std::source_location::current());
    } catch (const Error& e) {
        set_panic(e.what(), e.where());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a size beyond what any container can hold
    } catch (const std::exception& e) {
        set_panic(e.what(), std::source_location::current());
    } catch (...) {
        set_panic("unknown C++ exception", std::source_location::current());
    }
}

}  // namespace velmora::python
