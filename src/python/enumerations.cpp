// InterpolationMethod and ElasticBandMethod: plain enumerations whose members
// are class attributes, one object each.

#include <string>

#include "binder.hpp"
#include "class_support.hpp"
#include "convert.hpp"
#include "enum_classes.hpp"
#include "pickling.hpp"

namespace velmora::python {

using namespace detail;

namespace {

struct PyEnum {
    PyObject_HEAD int value;
};

struct EnumInfo {
    const char* class_name;
    const char* member_names[2];  // indexed by discriminant
};

constexpr EnumInfo interpolation_info = {"InterpolationMethod", {"Cubic", "Linear"}};
constexpr EnumInfo elastic_band_info = {"ElasticBandMethod", {"SquareBounds", "OrthogonalBounds"}};

const EnumInfo& info_of(PyObject* self) {
    return PyObject_TypeCheck(self, interpolation_method_type()) ? interpolation_info
                                                                 : elastic_band_info;
}

int enum_value(PyObject* obj) { return reinterpret_cast<PyEnum*>(obj)->value; }

PyObject* enum_repr(PyObject* self) {
    return guarded([&] {
        const EnumInfo& info = info_of(self);
        return check(
            PyUnicode_FromFormat("%s.%s", info.class_name, info.member_names[enum_value(self)]));
    });
}

PyObject* enum_int(PyObject* self) {
    return guarded([&] { return check(PyLong_FromLong(enum_value(self))); });
}

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> object {
        if (op != Py_EQ && op != Py_NE) return not_implemented();
        long long rhs;
        if (Py_TYPE(other) == Py_TYPE(self) || PyObject_TypeCheck(other, Py_TYPE(self))) {
            rhs = enum_value(other);
        } else {
            // Anything that converts by the index protocol compares by value;
            // a failed conversion only means "not comparable".
            // An interrupt raised there is no failed conversion: it propagates.
            object index = steal(PyNumber_Index(other));
            Py_ssize_t value = index ? PyLong_AsSsize_t(index.ptr()) : -1;
            if (!index || (value == -1 && PyErr_Occurred())) {
                clear_ordinary_error();
                return not_implemented();
            }
            rhs = value;
        }
        const bool equal = enum_value(self) == rhs;
        return py_bool(op == Py_EQ ? equal : !equal);
    });
}

// Pickles as its class name and value; unpickles to the same member object.
PyObject* enum_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        object value = check(PyLong_FromLong(enum_value(self)));
        return reduction(info_of(self).class_name, {value});
    });
}

PyMethodDef enum_methods[] = {
    {"__reduce__", as_method_pointer(enum_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* create_enum(const EnumInfo& info, PyType_Spec* type_spec) {
    object type = check(PyType_FromSpec(type_spec));
    auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
    for (int value = 0; value < 2; ++value) {
        object member = check(t->tp_alloc(t, 0));
        reinterpret_cast<PyEnum*>(member.ptr())->value = value;
        if (PyDict_SetItemString(t->tp_dict, info.member_names[value], member.ptr()) != 0)
            throw python_error{};
    }
    PyType_Modified(t);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyType_Slot enum_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(enum_int)},
    {Py_tp_methods, enum_methods},
    {0, nullptr},
};

PyTypeObject* interpolation_type_slot = nullptr;
PyTypeObject* elastic_band_type_slot = nullptr;

}  // namespace

PyTypeObject* interpolation_method_type() {
    static PyType_Spec type_spec = {"builtins.InterpolationMethod", sizeof(PyEnum), 0,
                                    final_value_class_flags, enum_slots};
    return once(interpolation_type_slot,
                [] { return create_enum(interpolation_info, &type_spec); });
}

PyTypeObject* elastic_band_method_type() {
    static PyType_Spec type_spec = {"builtins.ElasticBandMethod", sizeof(PyEnum), 0,
                                    final_value_class_flags, enum_slots};
    return once(elastic_band_type_slot, [] { return create_enum(elastic_band_info, &type_spec); });
}

InterpolationMethod to_interpolation_method(handle obj) {
    return static_cast<InterpolationMethod>(
        enum_value(checked_instance(obj, interpolation_method_type(), "InterpolationMethod")));
}

ElasticBandMethod to_elastic_band_method(handle obj) {
    return static_cast<ElasticBandMethod>(
        enum_value(checked_instance(obj, elastic_band_method_type(), "ElasticBandMethod")));
}

object enum_member(PyTypeObject* type, handle value) {
    if (type == nullptr) throw python_error{};
    const EnumInfo& info =
        type == interpolation_method_type() ? interpolation_info : elastic_band_info;
    if (!PyLong_Check(value.ptr()))
        raise(PyExc_TypeError, std::string(info.class_name) + " value must be an int, not " +
                                   type_name(value.type()));
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw python_error{};
    if (overflow != 0 || (v != 0 && v != 1))
        raise(PyExc_ValueError, std::string(info.class_name) + " has no member of that value");
    return check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), info.member_names[v]));
}

}  // namespace velmora::python
