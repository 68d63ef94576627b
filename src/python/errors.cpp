#include "errors.hpp"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "velmora/error.hpp"

namespace velmora::python {

namespace {

constexpr const char* panic_doc =
    "The exception raised when velmora's native code meets a broken internal expectation.\n\n"
    "It derives from BaseException, like SystemExit, so that `except Exception`\n"
    "does not swallow it.";

// The source file relative to the project ("src/core/resample.cpp"), not the
// build machine's absolute path.
const char* project_path(const char* file) {
    const char* src = std::strstr(file, "/src/");
    const char* include = std::strstr(file, "/include/velmora/");
    const char* found = src != nullptr ? src : include;
    return found != nullptr ? found + 1 : file;
}

void set_panic(const std::string& message, const std::source_location& where) {
    std::fprintf(stderr, "velmora: internal error at %s:%u: %s\n", project_path(where.file_name()),
                 static_cast<unsigned>(where.line()), message.c_str());
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // creating the class failed: that error stays set
    object text = steal(PyUnicode_FromStringAndSize(message.data(),
                                                    static_cast<Py_ssize_t>(message.size())));
    if (!text) return;
    PyErr_SetObject(type, text.ptr());
}

}  // namespace

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;  // filled once, under the interpreter lock
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
    }
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

void raise_api_failure(std::source_location where) {
    if (PyErr_Occurred()) PyErr_Print();
    raise_panic("Python API call failed", where);
}

void translate_exception() noexcept {
    try {
        throw;
    } catch (const python_error&) {
        if (!PyErr_Occurred()) set_panic("Python API call failed", std::source_location::current());
    } catch (const InternalError& e) {
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
