#pragma once
// Small pieces shared by the enumeration classes.

#include <string>

#include "convert.hpp"
#include "errors.hpp"
#include "object.hpp"

namespace velmora::python::detail {

/// Flags of the final enumeration classes. Their objects are immutable values,
/// and sibling classes share one memory layout, so the types are immutable:
/// the interpreter then refuses `obj.__class__ = Sibling`, which would read one
/// variant's storage as another's.
inline constexpr unsigned long final_value_class_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

/// tp_new of a class without a constructor: TypeError "No constructor defined for {name}".
inline PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&]() -> object {
        object name = check(PyType_GetName(type));
        raise(PyExc_TypeError,
              "No constructor defined for " + std::string(PyUnicode_AsUTF8(name.ptr())));
    });
}

/// Heap types keep their docstring in the dict; these classes have none.
inline void clear_doc(PyTypeObject* type) {
    if (PyDict_SetItemString(type->tp_dict, "__doc__", Py_None) != 0) throw python_error{};
}

inline object not_implemented() { return borrow(Py_NotImplemented); }
inline object py_bool(bool value) { return borrow(value ? Py_True : Py_False); }

/// Creates a type object on first use; null with the error set if that fails.
template <class Create>
PyTypeObject* once(PyTypeObject*& slot, Create&& create) {
    if (slot == nullptr) {
        try {
            slot = create();
        } catch (const python_error&) {
            return nullptr;
        }
    }
    return slot;
}

/// obj itself if it is an instance of type, else TypeError
/// "'{type}' object cannot be converted to '{class_name}'".
inline PyObject* checked_instance(handle obj, PyTypeObject* type, const char* class_name) {
    if (type == nullptr) throw python_error{};
    if (!PyObject_TypeCheck(obj.ptr(), type)) raise_cannot_convert(obj, class_name);
    return obj.ptr();
}

}  // namespace velmora::python::detail
