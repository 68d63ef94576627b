#include "numpy_api.hpp"

#include <cstring>

#include "errors.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL velmora_numpy_api
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace velmora::python {

namespace {

// Imports numpy, picks numpy._core (2.x) or numpy.core (1.x) and reads the
// "_ARRAY_API" capsule. Returns false with no error set on any failure; an
// interrupt during the imports propagates.
bool load_array_api() {
    auto fail = [] {
        clear_ordinary_error();
        return false;
    };
    object numpy = steal(PyImport_ImportModule("numpy"));
    if (!numpy) return fail();
    object version = steal(PyObject_GetAttrString(numpy.ptr(), "__version__"));
    if (!version) return fail();
    object lib = steal(PyImport_ImportModule("numpy.lib"));
    if (!lib) return fail();
    object parsed = steal(PyObject_CallMethod(lib.ptr(), "NumpyVersion", "O", version.ptr()));
    if (!parsed) return fail();
    object major = steal(PyObject_GetAttrString(parsed.ptr(), "major"));
    if (!major) return fail();
    const long major_value = PyLong_AsLong(major.ptr());
    if (major_value == -1 && PyErr_Occurred()) return fail();
    const char* core = major_value >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    object multiarray = steal(PyImport_ImportModule(core));
    if (!multiarray) return fail();
    object capsule = steal(PyObject_GetAttrString(multiarray.ptr(), "_ARRAY_API"));
    if (!capsule || !PyCapsule_CheckExact(capsule.ptr())) return fail();
    void* table = PyCapsule_GetPointer(capsule.ptr(), nullptr);
    if (table == nullptr) return fail();
    // The capsule lives as long as numpy's multiarray module, which is never unloaded.
    velmora_numpy_api = static_cast<void**>(table);
    return true;
}

void ensure_array_api() {
    if (velmora_numpy_api != nullptr) return;
    if (!load_array_api()) raise_panic("Failed to access NumPy array API capsule");
}

object new_array(int ndim, npy_intp* dims, const double* data, std::size_t count) {
    ensure_array_api();
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), ndim,
                                           dims, nullptr, nullptr, 0, nullptr);
    if (array == nullptr) raise_api_failure();
    object result = steal(array);
    if (count != 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), data,
                    count * sizeof(double));
    }
    return result;
}

}  // namespace

object new_array_1d(const double* data, std::size_t n) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return new_array(1, dims, data, n);
}

object new_array_2d(const double* data, std::size_t rows, std::size_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return new_array(2, dims, data, rows * cols);
}

}  // namespace velmora::python
