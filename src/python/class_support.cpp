#include "class_support.hpp"

#include <string>

#include "convert.hpp"

namespace velmora::python::detail {

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> object {
        object name = check(PyType_GetName(type));
        raise(PyExc_TypeError, "No constructor defined for " + std::string(PyUnicode_AsUTF8(name.ptr())));
    });
}

void clear_doc(PyTypeObject* type) {
    if (PyDict_SetItemString(type->tp_dict, "__doc__", Py_None) != 0) throw python_error{};
}

PyObject* checked_instance(handle obj, PyTypeObject* type, const char* class_name) {
    if (type == nullptr) throw python_error{};
    if (!PyObject_TypeCheck(obj.ptr(), type)) raise_cannot_convert(obj, class_name);
    return obj.ptr();
}

}  // namespace velmora::python::detail
