// The Path2D class: constructor, read-only properties, text form, methods.

#include <new>
#include <string>
#include <vector>

#include "float_format.hpp"
#include "numpy_api.hpp"
#include "path2d_methods.hpp"
#include "path2d_object.hpp"

namespace velmora::python {

namespace {

// A new object of the class that takes over the record, with a free borrow state.
object new_instance(PyTypeObject* type, Path2D&& path) {
    object self = check(type->tp_alloc(type, 0));
    auto* obj = reinterpret_cast<PyPath2D*>(self.ptr());
    new (&obj->path) Path2D(std::move(path));
    new (&obj->borrow) BorrowFlag();
    return self;
}

PyObject* path2d_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> object {
        static const Signature sig("Path2D.__new__()",
                                   {{"points", false}, {"x", false}, {"y", false}});
        PyObject* bound[Signature::max_params];
        sig.bind(args, kwargs, bound);
        auto given = [&](int i) { return bound[i] != nullptr && bound[i] != Py_None; };
        Path2D from_points;
        std::vector<double> x;
        std::vector<double> y;
        if (given(0)) from_points = argument("points", [&] { return to_path_from_points(bound[0]); });
        if (given(1)) x = argument("x", [&] { return to_double_vector(bound[1]); });
        if (given(2)) y = argument("y", [&] { return to_double_vector(bound[2]); });

        Path2D path;
        if (given(0) && !given(1) && !given(2)) {
            path = std::move(from_points);
        } else if (!given(0) && given(1) && given(2)) {
            path = Path2D::from_coordinates(std::move(x), std::move(y));
        } else {
            raise(PyExc_TypeError, "Create path either from points or coordinates");
        }
        return new_instance(type, std::move(path));
    });
}

void path2d_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyPath2D*>(self)->path.~Path2D();
    type->tp_free(self);
    Py_DECREF(type);
}

// A property getter: shared borrow, then a fresh Python object from the record.
template <class Read>
PyObject* property(PyObject* self, Read&& read) noexcept {
    return guarded([&]() -> object {
        PyPath2D& me = as_path2d(self);
        BorrowFlag::Shared guard(me.borrow);
        return read(std::as_const(me.path));
    });
}

object array_of(const std::vector<double>& v) { return new_array_1d(v.data(), v.size()); }
object array_of(const std::vector<Point>& v) {
    // rows = entries, columns = length of the first row, so no points gives (0, 0)
    return new_array_2d(reinterpret_cast<const double*>(v.data()), v.size(), v.empty() ? 0 : 2);
}

#define VELMORA_PROPERTY(name, expr)                                                     \
    PyObject* get_##name(PyObject* self, void*) noexcept {                               \
        return property(self, [](const Path2D& path) { return expr; });                  \
    }

VELMORA_PROPERTY(points, to_list(path.points()))
VELMORA_PROPERTY(points_np, array_of(path.points()))
VELMORA_PROPERTY(x, to_list(path.x()))
VELMORA_PROPERTY(x_np, array_of(path.x()))
VELMORA_PROPERTY(y, to_list(path.y()))
VELMORA_PROPERTY(y_np, array_of(path.y()))
VELMORA_PROPERTY(path_length_per_point, to_list(path.path_length_per_point()))
VELMORA_PROPERTY(path_length_per_point_np, array_of(path.path_length_per_point()))
VELMORA_PROPERTY(length, to_python(path.length()))
VELMORA_PROPERTY(orientation, to_list(path.orientation()))
VELMORA_PROPERTY(orientation_np, array_of(path.orientation()))
VELMORA_PROPERTY(unit_tangent_vector, to_list(path.unit_tangent_vector()))
VELMORA_PROPERTY(unit_tangent_vector_np, array_of(path.unit_tangent_vector()))
VELMORA_PROPERTY(curvature, to_list(path.curvature()))
VELMORA_PROPERTY(curvature_np, array_of(path.curvature()))

#undef VELMORA_PROPERTY

void append(std::string& out, double v) { append_double(out, v); }
void append(std::string& out, const Point& p) {
    out += '[';
    append_double(out, p.x);
    out += ", ";
    append_double(out, p.y);
    out += ']';
}
template <class T>
void append(std::string& out, const std::vector<T>& values) {
    out += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != 0) out += ", ";
        append(out, values[i]);
    }
    out += ']';
}
template <class T>
void append(std::string& out, const velmora::LazyCache<std::vector<T>>& cache) {
    if (!cache) {
        out += "OnceCell(<uninit>)";
        return;
    }
    out += "OnceCell(";
    append(out, *cache);
    out += ')';
}

PyObject* path2d_repr(PyObject* self) noexcept {
    return property(self, [](const Path2D& path) {
        std::string out = "Path2D { path: Path2D { points: ";
        append(out, path.points());
        out += ", x: ";
        append(out, path.x());
        out += ", y: ";
        append(out, path.y());
        out += ", path_length_per_point: ";
        append(out, path.path_length_cache());
        out += ", orientation: ";
        append(out, path.orientation_cache());
        out += ", unit_tangent_vector: ";
        append(out, path.unit_tangent_cache());
        out += ", curvature: ";
        append(out, path.curvature_cache());
        out += ", associated_values: ";
        append(out, path.associated_values());
        out += " } }";
        return check(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
    });
}

constexpr const char* path2d_doc =
    "Path2D(points=None, x=None, y=None)\n--\n\n"
    "Path2D(points=None, x=None, y=None)\n\n"
    "Class storing a 2D path.\n\n"
    ":param points: List of points\n"
    ":param x: List of x coordinates\n"
    ":param y: List of y coordinates\n\n"
    ":type points: list[list[float]]\n"
    ":type x: list[float]\n"
    ":type y: list[float]";

}  // namespace

PyPath2D& as_path2d(handle self) {
    PyTypeObject* type = path2d_type();
    if (type == nullptr) throw python_error{};
    if (!PyObject_TypeCheck(self.ptr(), type)) raise_cannot_convert(self, "Path2D");
    return *reinterpret_cast<PyPath2D*>(self.ptr());
}

object wrap(Path2D&& path) {
    PyTypeObject* type = path2d_type();
    if (type == nullptr) throw python_error{};
    return new_instance(type, std::move(path));
}

PyTypeObject* path2d_type() {
    static PyTypeObject* type = nullptr;  // created once, under the interpreter lock
    if (type != nullptr) return type;

    static PyGetSetDef getset[] = {
        {"points", get_points, nullptr, nullptr, nullptr},
        {"points_np", get_points_np, nullptr, nullptr, nullptr},
        {"x", get_x, nullptr, nullptr, nullptr},
        {"x_np", get_x_np, nullptr, nullptr, nullptr},
        {"y", get_y, nullptr, nullptr, nullptr},
        {"y_np", get_y_np, nullptr, nullptr, nullptr},
        {"path_length_per_point", get_path_length_per_point, nullptr, nullptr, nullptr},
        {"path_length_per_point_np", get_path_length_per_point_np, nullptr, nullptr, nullptr},
        {"length", get_length, nullptr, nullptr, nullptr},
        {"orientation", get_orientation, nullptr, nullptr, nullptr},
        {"orientation_np", get_orientation_np, nullptr, nullptr, nullptr},
        {"unit_tangent_vector", get_unit_tangent_vector, nullptr, nullptr, nullptr},
        {"unit_tangent_vector_np", get_unit_tangent_vector_np, nullptr, nullptr, nullptr},
        {"curvature", get_curvature, nullptr, nullptr, nullptr},
        {"curvature_np", get_curvature_np, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        compute_circle_fit_curvature_def,
        find_circle_segments_def,
        resampled_path_def,
        smoothed_path_elastic_band_def,
        smoothed_path_chaikin_def,
        index_from_point_def,
        path_length_from_point_def,
        sub_path_def,
        detect_corrupted_point_order_def,
        repair_corrupted_point_order_def,
        add_associated_values_def,
        associated_values_def,
        associated_value_np_def,
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(path2d_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(path2d_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(path2d_repr)},
        {Py_tp_doc, const_cast<char*>(path2d_doc)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Path2D", sizeof(PyPath2D), 0, Py_TPFLAGS_DEFAULT, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return type;
}

}  // namespace velmora::python
