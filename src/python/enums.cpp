#include "enums.hpp"

#include <new>
#include <string>
#include <variant>

#include "binder.hpp"
#include "convert.hpp"
#include "errors.hpp"

namespace velmora::python {

namespace {

// Calling a class without a constructor of its own.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return guarded([&]() -> object {
        object name = check(PyType_GetName(type));
        raise(PyExc_TypeError, "No constructor defined for " + std::string(PyUnicode_AsUTF8(name.ptr())));
    });
}

// Heap types keep their docstring in the dict; these classes have none, only
// a constructor text signature.
bool clear_doc(PyTypeObject* type) {
    return PyDict_SetItemString(type->tp_dict, "__doc__", Py_None) == 0;
}

object not_implemented() { return borrow(Py_NotImplemented); }

object py_bool(bool value) { return borrow(value ? Py_True : Py_False); }

// ---------------------------------------------------------------------------
// ResamplingMethod and its variants

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

PyObject* resampling_richcompare(PyObject* self, PyObject* other, int op) noexcept {
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

PyObject* by_number_points_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
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

PyObject* by_sampling_distance_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        static const Signature sig("ResamplingMethod_BySamplingDistance.__new__()",
                                   {{"sampling_distance", true}, {"drop_last", true}});
        PyObject* a[Signature::max_params];
        sig.bind(args, kwargs, a);
        return make_resampling(type, sampling_distance_from(a));
    });
}

PyObject* static_by_number_points(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
    return guarded([&] {
        static const Signature sig("ResamplingMethod.by_number_points()", {{"number_points", true}});
        PyObject* a[Signature::max_params];
        sig.bind(args, nargs, kwnames, a);
        return make_resampling(by_number_points_type, number_points_from(a));
    });
}

PyObject* static_by_sampling_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return guarded([&] {
        static const Signature sig("ResamplingMethod.by_sampling_distance()",
                                   {{"sampling_distance", true}, {"drop_last", false}});
        PyObject* a[Signature::max_params];
        sig.bind(args, nargs, kwnames, a);
        return make_resampling(by_sampling_distance_type, sampling_distance_from(a));
    });
}

PyObject* get_number_points(PyObject* self, void*) noexcept {
    return guarded([&] {
        return to_python_size(std::get<ByNumberPoints>(resampling_value(self)).number_points);
    });
}

PyObject* get_sampling_distance(PyObject* self, void*) noexcept {
    return guarded([&] {
        return to_python(std::get<BySamplingDistance>(resampling_value(self)).sampling_distance);
    });
}

PyObject* get_drop_last(PyObject* self, void*) noexcept {
    return guarded([&] { return py_bool(std::get<BySamplingDistance>(resampling_value(self)).drop_last); });
}

PyTypeObject* make_variant(PyType_Spec* spec, PyTypeObject* base, const char* const* match_args,
                           int n_match) {
    object bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
    object type = check(PyType_FromSpecWithBases(spec, bases.ptr()));
    auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
    object names = check(PyTuple_New(n_match));
    for (int i = 0; i < n_match; ++i) {
        PyTuple_SET_ITEM(names.ptr(), i, check(PyUnicode_InternFromString(match_args[i])).release());
    }
    if (PyDict_SetItemString(t->tp_dict, "__match_args__", names.ptr()) != 0) throw python_error{};
    if (!clear_doc(t)) throw python_error{};
    PyType_Modified(t);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyTypeObject* create_resampling_types() {
    static PyMethodDef methods[] = {
        {"by_number_points", reinterpret_cast<PyCFunction>(static_by_number_points),
         METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
         "by_number_points(number_points)\n--\n\n"
         "by_number_points(number_points)\n\n"
         "The path will be equidistantly resampled using the given number of points.\n\n"
         ":param number_points: Number of points\n\n"
         ":type number_points: int\n\n"
         ":returns: The resampling method\n"
         ":rtype: ResamplingMethod"},
        {"by_sampling_distance", reinterpret_cast<PyCFunction>(static_by_sampling_distance),
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
    static PyType_Spec base_spec = {"builtins.ResamplingMethod", sizeof(PyResamplingMethod), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, base_slots};

    static PyGetSetDef number_getset[] = {
        {"number_points", get_number_points, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot number_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(by_number_points_new)},
        {Py_tp_getset, number_getset},
        {Py_tp_doc, const_cast<char*>("ResamplingMethod_ByNumberPoints(number_points)\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec number_spec = {"builtins.ResamplingMethod_ByNumberPoints",
                                      sizeof(PyResamplingMethod), 0, Py_TPFLAGS_DEFAULT,
                                      number_slots};

    static PyGetSetDef distance_getset[] = {
        {"sampling_distance", get_sampling_distance, nullptr, nullptr, nullptr},
        {"drop_last", get_drop_last, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot distance_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(by_sampling_distance_new)},
        {Py_tp_getset, distance_getset},
        {Py_tp_doc, const_cast<char*>(
             "ResamplingMethod_BySamplingDistance(sampling_distance, drop_last)\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec distance_spec = {"builtins.ResamplingMethod_BySamplingDistance",
                                        sizeof(PyResamplingMethod), 0, Py_TPFLAGS_DEFAULT,
                                        distance_slots};

    object base = check(PyType_FromSpec(&base_spec));
    auto* base_type = reinterpret_cast<PyTypeObject*>(base.ptr());
    static const char* const number_args[] = {"number_points"};
    static const char* const distance_args[] = {"sampling_distance", "drop_last"};
    if (by_number_points_type == nullptr)
        by_number_points_type = make_variant(&number_spec, base_type, number_args, 1);
    if (by_sampling_distance_type == nullptr)
        by_sampling_distance_type = make_variant(&distance_spec, base_type, distance_args, 2);
    if (PyObject_SetAttrString(base.ptr(), "ByNumberPoints",
                               reinterpret_cast<PyObject*>(by_number_points_type)) != 0 ||
        PyObject_SetAttrString(base.ptr(), "BySamplingDistance",
                               reinterpret_cast<PyObject*>(by_sampling_distance_type)) != 0 ||
        !clear_doc(base_type))
        throw python_error{};
    PyType_Modified(base_type);
    return reinterpret_cast<PyTypeObject*>(base.release());
}

// ---------------------------------------------------------------------------
// InterpolationMethod and ElasticBandMethod: plain enumerations

struct PyEnum {
    PyObject_HEAD
    int value;
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

PyObject* enum_repr(PyObject* self) noexcept {
    return guarded([&] {
        const EnumInfo& info = info_of(self);
        return check(PyUnicode_FromFormat("%s.%s", info.class_name,
                                          info.member_names[enum_value(self)]));
    });
}

PyObject* enum_int(PyObject* self) noexcept {
    return guarded([&] { return check(PyLong_FromLong(enum_value(self))); });
}

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return guarded([&]() -> object {
        if (op != Py_EQ && op != Py_NE) return not_implemented();
        long long rhs;
        if (Py_TYPE(other) == Py_TYPE(self) || PyObject_TypeCheck(other, Py_TYPE(self))) {
            rhs = enum_value(other);
        } else {
            // Anything that converts by the index protocol compares by value;
            // a failed conversion only means "not comparable".
            object index = steal(PyNumber_Index(other));
            Py_ssize_t value = index ? PyLong_AsSsize_t(index.ptr()) : -1;
            if (!index || (value == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return not_implemented();
            }
            rhs = value;
        }
        const bool equal = enum_value(self) == rhs;
        return py_bool(op == Py_EQ ? equal : !equal);
    });
}

PyTypeObject* create_enum(const EnumInfo& info, PyType_Spec* spec) {
    object type = check(PyType_FromSpec(spec));
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
    {0, nullptr},
};

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

PyTypeObject* resampling_type_slot = nullptr;
PyTypeObject* interpolation_type_slot = nullptr;
PyTypeObject* elastic_band_type_slot = nullptr;

}  // namespace

PyTypeObject* resampling_method_type() { return once(resampling_type_slot, create_resampling_types); }

PyTypeObject* interpolation_method_type() {
    static PyType_Spec spec = {"builtins.InterpolationMethod", sizeof(PyEnum), 0, Py_TPFLAGS_DEFAULT,
                               enum_slots};
    return once(interpolation_type_slot, [] { return create_enum(interpolation_info, &spec); });
}

PyTypeObject* elastic_band_method_type() {
    static PyType_Spec spec = {"builtins.ElasticBandMethod", sizeof(PyEnum), 0, Py_TPFLAGS_DEFAULT,
                               enum_slots};
    return once(elastic_band_type_slot, [] { return create_enum(elastic_band_info, &spec); });
}

namespace {

PyObject* checked_instance(handle obj, PyTypeObject* type, const char* class_name) {
    if (type == nullptr) throw python_error{};
    if (!PyObject_TypeCheck(obj.ptr(), type)) raise_cannot_convert(obj, class_name);
    return obj.ptr();
}

}  // namespace

ResamplingMethod to_resampling_method(handle obj) {
    return resampling_value(checked_instance(obj, resampling_method_type(), "ResamplingMethod"));
}

InterpolationMethod to_interpolation_method(handle obj) {
    return static_cast<InterpolationMethod>(
        enum_value(checked_instance(obj, interpolation_method_type(), "InterpolationMethod")));
}

ElasticBandMethod to_elastic_band_method(handle obj) {
    return static_cast<ElasticBandMethod>(
        enum_value(checked_instance(obj, elastic_band_method_type(), "ElasticBandMethod")));
}

}  // namespace velmora::python
