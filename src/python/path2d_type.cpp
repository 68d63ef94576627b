// The Path2D class: constructor, read-only properties, text form, methods.

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "binder.hpp"
#include "float_format.hpp"
#include "method_table.hpp"
#include "numpy_api.hpp"
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

constexpr auto constructor_params =
    params(arg("points", std::nullopt), arg("x", std::nullopt), arg("y", std::nullopt));

PyObject* path2d_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> object {
        static const Signature sig = detail::signature_of("Path2D.__new__()", constructor_params);
        PyObject* bound[Signature::max_params];
        sig.bind(args, kwargs, bound);
        using Coordinates = std::optional<std::vector<double>>;
        auto [points, x, y] = detail::convert_all<std::optional<Path2D>, Coordinates, Coordinates>(
            constructor_params, bound);
        if (points && !x && !y) return new_instance(type, std::move(*points));
        if (!points && x && y) {
            return new_instance(type, Path2D::from_coordinates(std::move(*x), std::move(*y)));
        }
        raise(PyExc_TypeError, "Create path either from points or coordinates");
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
PyObject* property(PyObject* self, Read&& read) {
    return guarded([&] { return Path2DClass::with_receiver<const Path2D&>(self, read); });
}

object array_of(const std::vector<double>& v) { return new_array_1d(v.data(), v.size()); }
object array_of(const std::vector<Point>& v) {
    // rows = entries, columns = length of the first row, so no points gives (0, 0)
    return new_array_2d(reinterpret_cast<const double*>(v.data()), v.size(), v.empty() ? 0 : 2);
}

#define VELMORA_PROPERTY(name, expr)                                                     \
    PyObject* get_##name(PyObject* self, void*) {                                        \
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

PyObject* path2d_repr(PyObject* self) {
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

    static const std::string doc = detail::docstring("Path2D", "", constructor_params, path2d_doc);
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
    static std::vector<PyMethodDef> methods = [] {
        const std::span<const PyMethodDef> rows = path2d_methods();
        std::vector<PyMethodDef> table(rows.begin(), rows.end());
        table.push_back({nullptr, nullptr, 0, nullptr});
        return table;
    }();
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(path2d_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(path2d_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(path2d_repr)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods.data()},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Path2D", sizeof(PyPath2D), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return type;
}

}  // namespace velmora::python
