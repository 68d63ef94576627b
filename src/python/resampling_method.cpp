// ResamplingMethod: a base class with two final variant classes, each
// holding one ResamplingMethod value.

#include <new>
#include <string>
#include <variant>

#include "binder.hpp"
#include "class_support.hpp"
#include "convert.hpp"
#include "enum_classes.hpp"
#include "pickling.hpp"

namespace velmora::python {

using namespace detail;

namespace {

struct PyResamplingMethod {
    PyObject_HEAD
    ResamplingMethod value;
};

PyTypeObject* by_number_points_type = nullptr;
PyTypeObject* by_sampling_distance_type = nullptr;

object make_resampling(PyTypeObject* type, ResamplingMethod value) {
    object self = check(type->tp_alloc(type, 0));
    new (&reinterpret_cast<PyResamplingMethod*>(self.ptr())->value) ResamplingMethod(value);
    return self;
}

const ResamplingMethod& resampling_value(PyObject* obj) {
    return reinterpret_cast<PyResamplingMethod*>(obj)->value;
}

bool same_resampling(const ResamplingMethod& a, const ResamplingMethod& b) {
    if (a.index() != b.index()) return false;
    if (const auto* n = std::get_if<ByNumberPoints>(&a))
        return n->number_points == std::get<ByNumberPoints>(b).number_points;
    const auto& da = std::get<BySamplingDistance>(a);
    const auto& db = std::get<BySamplingDistance>(b);
    return da.sampling_distance == db.sampling_distance && da.drop_last == db.drop_last;
}

PyObject* resampling_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> object {
        if (!PyObject_TypeCheck(other, resampling_method_type())) return not_implemented();
        const bool equal = same_resampling(resampling_value(self), resampling_value(other));
        if (op == Py_EQ) return py_bool(equal);
        if (op == Py_NE) return py_bool(!equal);
        return not_implemented();
    });
}

ResamplingMethod number_points_from(PyObject** a) {
    return ByNumberPoints{argument("number_points", [&] { return to_size(a[0]); })};
}

PyObject* by_number_points_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature sig("ResamplingMethod_ByNumberPoints.__new__()",
                                   {{"number_points", true}});
        PyObject* a[Signature::max_params];
        sig.bind(args, kwargs, a);
        return make_resampling(type, number_points_from(a));
    });
}

ResamplingMethod sampling_distance_from(PyObject** a) {
    BySamplingDistance method;
    method.sampling_distance = argument("sampling_distance", [&] { return to_double(a[0]); });
    if (a[1] != nullptr) method.drop_last = argument("drop_last", [&] { return to_bool(a[1]); });
    return method;
}

PyObject* by_sampling_distance_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature sig("ResamplingMethod_BySamplingDistance.__new__()",
                                   {{"sampling_distance", true}, {"drop_last", true}});
        PyObject* a[Signature::max_params];
        sig.bind(args, kwargs, a);
        return make_resampling(type, sampling_distance_from(a));
    });
}

PyObject* static_by_number_points(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig("ResamplingMethod.by_number_points()", {{"number_points", true}});
        PyObject* a[Signature::max_params];
        sig.bind(args, nargs, kwnames, a);
        return make_resampling(by_number_points_type, number_points_from(a));
    });
}

PyObject* static_by_sampling_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig("ResamplingMethod.by_sampling_distance()",
                                   {{"sampling_distance", true}, {"drop_last", false}});
        PyObject* a[Signature::max_params];
        sig.bind(args, nargs, kwnames, a);
        return make_resampling(by_sampling_distance_type, sampling_distance_from(a));
    });
}

PyObject* get_number_points(PyObject* self, void*) {
    return guarded([&] {
        return to_python_size(std::get<ByNumberPoints>(resampling_value(self)).number_points);
    });
}

PyObject* get_sampling_distance(PyObject* self, void*) {
    return guarded([&] {
        return to_python(std::get<BySamplingDistance>(resampling_value(self)).sampling_distance);
    });
}

PyObject* get_drop_last(PyObject* self, void*) {
    return guarded([&] { return py_bool(std::get<BySamplingDistance>(resampling_value(self)).drop_last); });
}

// Pickles as its class name and fields; unpickles to an equal object.
PyObject* resampling_reduce(PyObject* self, PyObject*) {
    return guarded([&] {
        const ResamplingMethod& value = resampling_value(self);
        if (const auto* n = std::get_if<ByNumberPoints>(&value))
            return reduction("ResamplingMethod_ByNumberPoints", {to_python_size(n->number_points)});
        const auto& d = std::get<BySamplingDistance>(value);
        return reduction("ResamplingMethod_BySamplingDistance",
                         {pack_doubles({d.sampling_distance}), py_bool(d.drop_last)});
    });
}

PyMethodDef variant_methods[] = {
    {"__reduce__", as_method_pointer(resampling_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_variant(PyType_Spec* type_spec, PyTypeObject* base, const char* const* match_args,
                           int n_match) {
    object bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
    object type = check(PyType_FromSpecWithBases(type_spec, bases.ptr()));
    auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
    object names = check(PyTuple_New(n_match));
    for (int i = 0; i < n_match; ++i) {
        PyTuple_SET_ITEM(names.ptr(), i, check(PyUnicode_InternFromString(match_args[i])).release());
    }
    if (PyDict_SetItemString(t->tp_dict, "__match_args__", names.ptr()) != 0) throw python_error{};
    clear_doc(t);
    PyType_Modified(t);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyTypeObject* create_resampling_types() {
    static PyMethodDef methods[] = {
        {"by_number_points", as_method_pointer(static_by_number_points),
         METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
         "by_number_points(number_points)\n--\n\n"
         "by_number_points(number_points)\n\n"
         "The path will be equidistantly resampled using the given number of points.\n\n"
         ":param number_points: Number of points\n\n"
         ":type number_points: int\n\n"
         ":returns: The resampling method\n"
         ":rtype: ResamplingMethod"},
        {"by_sampling_distance", as_method_pointer(static_by_sampling_distance),
         METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
         "by_sampling_distance(sampling_distance, drop_last=True)\n--\n\n"
         "by_sampling_distance(sampling_distance, drop_last=True)\n\n"
         "The path will be resampled using the given sampling_distance.\n"
         "The distance between the last and second last point will differ from sampling distance.\n"
         "Setting drop_last=True will omit the last point.\n\n"
         ":param sampling_distance: Sampling distance\n"
         ":param drop_last: Omits the last point when true.\n\n"
         ":type sampling_distance: float\n"
         ":type drop_last: bool\n\n"
         ":returns: The resampling method\n"
         ":rtype: ResamplingMethod"},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot base_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_richcompare, reinterpret_cast<void*>(resampling_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    // Python code may derive from the base, but not rebind its attributes.
    static PyType_Spec base_spec = {"builtins.ResamplingMethod", sizeof(PyResamplingMethod), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                                    base_slots};

    static PyGetSetDef number_getset[] = {
        {"number_points", get_number_points, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot number_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(by_number_points_new)},
        {Py_tp_getset, number_getset},
        {Py_tp_methods, variant_methods},
        {Py_tp_doc, const_cast<char*>("ResamplingMethod_ByNumberPoints(number_points)\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec number_spec = {"builtins.ResamplingMethod_ByNumberPoints",
                                      sizeof(PyResamplingMethod), 0, final_value_class_flags,
                                      number_slots};

    static PyGetSetDef distance_getset[] = {
        {"sampling_distance", get_sampling_distance, nullptr, nullptr, nullptr},
        {"drop_last", get_drop_last, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot distance_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(by_sampling_distance_new)},
        {Py_tp_getset, distance_getset},
        {Py_tp_methods, variant_methods},
        {Py_tp_doc, const_cast<char*>(
             "ResamplingMethod_BySamplingDistance(sampling_distance, drop_last)\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec distance_spec = {"builtins.ResamplingMethod_BySamplingDistance",
                                        sizeof(PyResamplingMethod), 0, final_value_class_flags,
                                        distance_slots};

    object base = check(PyType_FromSpec(&base_spec));
    auto* base_type = reinterpret_cast<PyTypeObject*>(base.ptr());
    static const char* const number_args[] = {"number_points"};
    static const char* const distance_args[] = {"sampling_distance", "drop_last"};
    // The variants derive from this base, so they are made afresh with it.
    by_number_points_type = make_variant(&number_spec, base_type, number_args, 1);
    by_sampling_distance_type = make_variant(&distance_spec, base_type, distance_args, 2);
    // The base is immutable to Python code, so its attributes go into its dict.
    if (PyDict_SetItemString(base_type->tp_dict, "ByNumberPoints",
                             reinterpret_cast<PyObject*>(by_number_points_type)) != 0 ||
        PyDict_SetItemString(base_type->tp_dict, "BySamplingDistance",
                             reinterpret_cast<PyObject*>(by_sampling_distance_type)) != 0)
        throw python_error{};
    clear_doc(base_type);
    PyType_Modified(base_type);
    return reinterpret_cast<PyTypeObject*>(base.release());
}

PyTypeObject* resampling_type_slot = nullptr;

}  // namespace

PyTypeObject* resampling_method_type() { return once(resampling_type_slot, create_resampling_types); }

object new_resampling_method(const ResamplingMethod& value) {
    if (resampling_method_type() == nullptr) throw python_error{};
    return make_resampling(value.index() == 0 ? by_number_points_type : by_sampling_distance_type, value);
}

ResamplingMethod to_resampling_method(handle obj) {
    return resampling_value(checked_instance(obj, resampling_method_type(), "ResamplingMethod"));
}

}  // namespace velmora::python
