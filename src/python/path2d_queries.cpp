// Projection queries and sub-path extraction.

#include "path2d_methods.hpp"
#include "path2d_object.hpp"

namespace velmora::python {

namespace {

constexpr double default_epsilon = 0.01;

PyObject* index_from_point(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static const Signature sig("Path2D.index_from_point()", {{"point", true}, {"epsilon", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const Point point = argument("point", [&] { return to_point(a[0]); });
        const double epsilon = optional_argument(a[1], "epsilon", default_epsilon, to_double);
        const auto index = path.index_from_point(point, epsilon);
        return index ? to_python_size(*index) : none();
    });
}

PyObject* path_length_from_point(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static const Signature sig("Path2D.path_length_from_point()",
                               {{"point", true}, {"epsilon", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const Point point = argument("point", [&] { return to_point(a[0]); });
        const double epsilon = optional_argument(a[1], "epsilon", default_epsilon, to_double);
        const auto length = path.path_length_from_point(point, epsilon);
        return length ? to_python(*length) : none();
    });
}

std::optional<Point> optional_point(PyObject* value, const char* name) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return argument(name, [&] { return to_point(value); });
}

PyObject* sub_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    static const Signature sig("Path2D.sub_path()",
                               {{"start", false}, {"end", false}, {"epsilon", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const std::optional<Point> start = optional_point(a[0], "start");
        const std::optional<Point> end = optional_point(a[1], "end");
        const double epsilon = optional_argument(a[2], "epsilon", default_epsilon, to_double);
        std::optional<Path2D> result = path.sub_path(start, end, epsilon);
        return result ? wrap(std::move(*result)) : none();
    });
}

}  // namespace

const PyMethodDef index_from_point_def = {
    "index_from_point", reinterpret_cast<PyCFunction>(index_from_point),
    METH_FASTCALL | METH_KEYWORDS,
    "index_from_point($self, point, epsilon=0.01)\n--\n\n"
    "index_from_point(point, epsilon=0.01)\n\n"
    "Returns the index of the nearest point on the path in front of the given point.\n"
    "If the point outside the path, None is returned\n\n"
    ":param point: Point of interest\n"
    ":param epsilon: The distance within two points are considered equal\n\n"
    ":type point: list[float]\n"
    ":type epsilon: float\n\n"
    ":returns: The index of the nearest point\n"
    ":rtype: Option[int]"};

const PyMethodDef path_length_from_point_def = {
    "path_length_from_point", reinterpret_cast<PyCFunction>(path_length_from_point),
    METH_FASTCALL | METH_KEYWORDS,
    "path_length_from_point($self, point, epsilon=0.01)\n--\n\n"
    "path_length_from_point(point, epsilon=0.01)\n\n"
    "Returns the path length from the first point to the given point.\n"
    "If the point outside the path, None is returned\n\n"
    ":param point: Point of interest\n"
    ":param epsilon: The distance within two points are considered equal\n\n"
    ":type point: list[float]\n"
    ":type epsilon: float\n\n"
    ":returns: The path length\n"
    ":rtype: Option[int]"};

const PyMethodDef sub_path_def = {
    "sub_path", reinterpret_cast<PyCFunction>(sub_path), METH_FASTCALL | METH_KEYWORDS,
    "sub_path($self, start=None, end=None, epsilon=0.01)\n--\n\n"
    "sub_path(start=None, end=None, epsilon=0.01)\n\n"
    "Returns the sub path from start to end.\n"
    "If start is None, the path begins at the beginning.\n"
    "The same holds for end.\n"
    "The new path is not necessarily equidistant.\n\n"
    ":param start: Beginning of the sub path\n"
    ":param end: End of the sub path\n"
    ":param epsilon: The distance within two points are considered equal\n\n"
    ":type start: list[float]\n"
    ":type end: list[float]\n"
    ":type epsilon: float\n\n"
    ":returns: The sub path\n"
    ":rtype: Path2D"};

}  // namespace velmora::python
