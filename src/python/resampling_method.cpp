// ResamplingMethod: a base class with two final variant classes, each
// holding one ResamplingMethod value.

#include <new>
#include <string>
#include <tuple>
#include <variant>

#include "binder.hpp"
#include "class_support.hpp"
#include "convert.hpp"
#include "enum_classes.hpp"
#include "method_table.hpp"
#include "pickling.hpp"

namespace velmora::python {

using namespace detail;

namespace {

struct PyResamplingMethod {
    PyObject_HEAD ResamplingMethod value;
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

// The constructors of the variant classes take every field.
constexpr auto number_points_params = params(arg("number_points"));
constexpr auto sampling_distance_params = params(arg("sampling_distance"), arg("drop_last"));

PyObject* by_number_points_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature sig =
            signature_of("ResamplingMethod_ByNumberPoints.__new__()", number_points_params);
        PyObject* bound[Signature::max_params];
        sig.bind(args, kwargs, bound);
        const auto [number_points] = convert_all<std::size_t>(number_points_params, bound);
        return make_resampling(type, ByNumberPoints{number_points});
    });
}

PyObject* by_sampling_distance_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature sig =
            signature_of("ResamplingMethod_BySamplingDistance.__new__()", sampling_distance_params);
        PyObject* bound[Signature::max_params];
        sig.bind(args, kwargs, bound);
        const auto [distance, drop_last] =
            convert_all<double, bool>(sampling_distance_params, bound);
        return make_resampling(type, BySamplingDistance{distance, drop_last});
    });
}

// The receiver of the variants' property rows (method_table.hpp): the value
// the object holds, as the variant the row's getter takes. The descriptor has
// checked the object's class already.
struct VariantClass {
    template <class Receiver, class Run>
    static object with_receiver(PyObject* self, Run&& run) {
        return run(std::get<std::decay_t<Receiver>>(resampling_value(self)));
    }
};

// The base class's factories, in its order.
struct BaseClass {
    static constexpr const char* name = "ResamplingMethod";
};

constexpr std::tuple base_rows{
    Method{"by_number_points", params(arg("number_points")),
           +[](Static, std::size_t number_points) {
               return new_resampling_method(ByNumberPoints{number_points});
           },
           "The path will be equidistantly resampled using the given number of points.\n\n"
           ":param number_points: Number of points\n\n"
           ":type number_points: int\n\n"
           ":returns: The resampling method\n"
           ":rtype: ResamplingMethod"},
    Method{
        "by_sampling_distance",
        params(arg("sampling_distance"), arg("drop_last", BySamplingDistance{}.drop_last)),
        +[](Static, double sampling_distance, bool drop_last) {
            return new_resampling_method(BySamplingDistance{sampling_distance, drop_last});
        },
        "The path will be resampled using the given sampling_distance.\n"
        "The distance between the last and second last point will differ from sampling distance.\n"
        "Setting drop_last=True will omit the last point.\n\n"
        ":param sampling_distance: Sampling distance\n"
        ":param drop_last: Omits the last point when true.\n\n"
        ":type sampling_distance: float\n"
        ":type drop_last: bool\n\n"
        ":returns: The resampling method\n"
        ":rtype: ResamplingMethod"},
};

constexpr std::tuple number_points_rows{
    Property{"number_points",
             +[](const ByNumberPoints& method) { return to_python_size(method.number_points); }},
};

constexpr std::tuple sampling_distance_rows{
    Property{"sampling_distance",
             +[](const BySamplingDistance& method) { return to_python(method.sampling_distance); }},
    Property{"drop_last",
             +[](const BySamplingDistance& method) { return py_bool(method.drop_last); }},
};

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

// A variant class derived from the base; its fields (the constructor's
// parameters) are its __match_args__.
template <class... Fields>
PyTypeObject* make_variant(PyType_Spec* type_spec, PyTypeObject* base,
                           const std::tuple<Fields...>& fields) {
    object bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base)));
    object type = check(PyType_FromSpecWithBases(type_spec, bases.ptr()));
    auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
    object names = check(PyTuple_New(sizeof...(Fields)));
    Py_ssize_t i = 0;
    std::apply(
        [&](const auto&... field) {
            (PyTuple_SET_ITEM(names.ptr(), i++,
                              check(PyUnicode_InternFromString(field.name)).release()),
             ...);
        },
        fields);
    if (PyDict_SetItemString(t->tp_dict, "__match_args__", names.ptr()) != 0) throw python_error{};
    clear_doc(t);
    PyType_Modified(t);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyTypeObject* create_resampling_types() {
    static PyType_Slot base_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
        {Py_tp_richcompare, reinterpret_cast<void*>(resampling_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_methods, member_tables<BaseClass, base_rows>().methods},
        {0, nullptr},
    };
    // Python code may derive from the base, but not rebind its attributes.
    static PyType_Spec base_spec = {
        "builtins.ResamplingMethod", sizeof(PyResamplingMethod), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, base_slots};

    static const std::string number_doc =
        docstring("ResamplingMethod_ByNumberPoints", "", number_points_params, nullptr);
    static PyType_Slot number_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(by_number_points_new)},
        {Py_tp_getset, member_tables<VariantClass, number_points_rows>().getset},
        {Py_tp_methods, variant_methods},
        {Py_tp_doc, const_cast<char*>(number_doc.c_str())},
        {0, nullptr},
    };
    static PyType_Spec number_spec = {"builtins.ResamplingMethod_ByNumberPoints",
                                      sizeof(PyResamplingMethod), 0, final_value_class_flags,
                                      number_slots};

    static const std::string distance_doc =
        docstring("ResamplingMethod_BySamplingDistance", "", sampling_distance_params, nullptr);
    static PyType_Slot distance_slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(by_sampling_distance_new)},
        {Py_tp_getset, member_tables<VariantClass, sampling_distance_rows>().getset},
        {Py_tp_methods, variant_methods},
        {Py_tp_doc, const_cast<char*>(distance_doc.c_str())},
        {0, nullptr},
    };
    static PyType_Spec distance_spec = {"builtins.ResamplingMethod_BySamplingDistance",
                                        sizeof(PyResamplingMethod), 0, final_value_class_flags,
                                        distance_slots};

    object base = check(PyType_FromSpec(&base_spec));
    auto* base_type = reinterpret_cast<PyTypeObject*>(base.ptr());
    // The variants derive from this base, so they are made afresh with it.
    by_number_points_type = make_variant(&number_spec, base_type, number_points_params);
    by_sampling_distance_type = make_variant(&distance_spec, base_type, sampling_distance_params);
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

PyTypeObject* resampling_method_type() {
    return once(resampling_type_slot, create_resampling_types);
}

object new_resampling_method(const ResamplingMethod& value) {
    if (resampling_method_type() == nullptr) throw python_error{};
    return make_resampling(value.index() == 0 ? by_number_points_type : by_sampling_distance_type,
                           value);
}

ResamplingMethod to_resampling_method(handle obj) {
    return resampling_value(checked_instance(obj, resampling_method_type(), "ResamplingMethod"));
}

}  // namespace velmora::python
