// The Path2D class: constructor, text form, and the members of path2d_methods.cpp.

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "binder.hpp"
#include "float_format.hpp"
#include "method_table.hpp"
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

// The text form reads the record under a shared borrow, as a property does.
template <class Read>
PyObject* with_path(PyObject* self, Read&& read) {
    return guarded([&] { return Path2DClass::with_receiver<const Path2D&>(self, read); });
}

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
    return with_path(self, [](const Path2D& path) {
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
    const MemberTables members = path2d_members();
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(path2d_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(path2d_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(path2d_repr)},
        {Py_tp_doc, const_cast<char*>(doc.c_str())},
        {Py_tp_getset, members.getset},
        {Py_tp_methods, members.methods},
        {0, nullptr},
    };
    static PyType_Spec type_spec = {"builtins.Path2D", sizeof(PyPath2D), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    return type;
}

}  // namespace velmora::python
