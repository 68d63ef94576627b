// Module initialisation: one module object per process, the four published
// classes in order, then the functions, and a refusal of sub-interpreters.

#include <atomic>
#include <cstdint>

#include "enum_classes.hpp"
#include "errors.hpp"
#include "module_functions.hpp"
#include "path2d_object.hpp"
#include "pickling.hpp"

namespace velmora::python {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora",
    "Useful tools for working with paths",
    0,  // no per-module state
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;  // kept for the process once initialised

// Appends the name to __all__ (created on first use); returns it as a str.
object list_in_all(PyObject* module, const char* name) {
    object all = steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw python_error{};
        PyErr_Clear();
        all = check(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.ptr()) != 0) throw python_error{};
    }
    object text = check(PyUnicode_FromString(name));
    if (PyList_Append(all.ptr(), text.ptr()) != 0) throw python_error{};
    return text;
}

// Appends the class to __all__ (created on first use) and binds it.
void publish(PyObject* module, const char* name, PyTypeObject* (*get_type)()) {
    PyTypeObject* type = get_type();
    if (type == nullptr) {
        PyObject *exc_type, *value, *tb;
        PyErr_Fetch(&exc_type, &value, &tb);
        PyErr_NormalizeException(&exc_type, &value, &tb);
        object cause = steal(value);
        Py_XDECREF(exc_type);
        Py_XDECREF(tb);
        object error = check(PyObject_CallFunction(
            PyExc_RuntimeError, "s",
            (std::string("An error occurred while initializing class ") + name).c_str()));
        PyException_SetCause(error.ptr(), cause.release());
        PyErr_SetObject(PyExc_RuntimeError, error.ptr());
        throw python_error{};
    }
    object text = list_in_all(module, name);
    if (PyObject_SetAttr(module, text.ptr(), reinterpret_cast<PyObject*>(type)) != 0)
        throw python_error{};
}

// Adds the module's functions (bound by PyModule_AddFunctions) to __all__.
void publish_functions(PyObject* module) {
    PyMethodDef* functions = module_functions();
    if (PyModule_AddFunctions(module, functions) != 0) throw python_error{};
    for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
        list_in_all(module, def->ml_name);
    }
}

object init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw python_error{};
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError, "velmora does not support sub-interpreters");
    }
    if (module_object != nullptr) return borrow(module_object);

    object module = check(PyModule_Create(&module_def));
    publish(module.ptr(), "Path2D", path2d_type);
    publish(module.ptr(), "ResamplingMethod", resampling_method_type);
    publish(module.ptr(), "InterpolationMethod", interpolation_method_type);
    publish(module.ptr(), "ElasticBandMethod", elastic_band_method_type);
    publish_functions(module.ptr());
    add_reconstruct_helper(module.ptr());
    module_object = borrow(module.ptr()).release();
    return module;
}

}  // namespace

}  // namespace velmora::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velmora() {
    return velmora::python::guarded(velmora::python::init_module);
}
