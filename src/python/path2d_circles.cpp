// Circle segment decomposition and circle-fit curvature.

#include "path2d_methods.hpp"
#include "path2d_object.hpp"

namespace velmora::python {

namespace {

constexpr double default_max_rmse = 0.15;

PyObject* compute_circle_fit_curvature(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const Signature sig("Path2D.compute_circle_fit_curvature()", {{"max_rmse", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const double max_rmse = optional_argument(a[0], "max_rmse", default_max_rmse, to_double);
        return to_list(path.compute_circle_fit_curvature(max_rmse));
    });
}

PyObject* find_circle_segments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static const Signature sig("Path2D.find_circle_segments()",
                               {{"start", true}, {"end", true}, {"max_rmse", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const std::size_t start = argument("start", [&] { return to_size(a[0]); });
        const std::size_t end = argument("end", [&] { return to_size(a[1]); });
        const double max_rmse = optional_argument(a[2], "max_rmse", default_max_rmse, to_double);
        return to_list(path.find_circle_segments(start, end, max_rmse));
    });
}

}  // namespace

const PyMethodDef compute_circle_fit_curvature_def = {
    "compute_circle_fit_curvature", reinterpret_cast<PyCFunction>(compute_circle_fit_curvature),
    METH_FASTCALL | METH_KEYWORDS,
    "compute_circle_fit_curvature($self, max_rmse=0.15)\n--\n\n"
    "compute_circle_fit_curvature(max_rmse=0.15)\n\n"
    "Computes the curvature by decomposing the path into arc segments.\n\n"
    ":param max_rmse: The maximum RMSE (root mean squared error) that is not exceeded when\n"
    "                    fitting the arc segments\n\n"
    ":type max_rmse: float\n\n"
    ":returns: The curvature of the path\n"
    ":rtype: list[float]"};

const PyMethodDef find_circle_segments_def = {
    "find_circle_segments", reinterpret_cast<PyCFunction>(find_circle_segments),
    METH_FASTCALL | METH_KEYWORDS,
    "find_circle_segments($self, start, end, max_rmse=0.15)\n--\n\n"
    "find_circle_segments(start, end, max_rmse=0.15)\n\n"
    "Decomposes the path into its circle segments, such that the maximum\n"
    "RMSE (root mean squared error) is not exceeded.\n\n"
    ":param start: Index of point to start from\n"
    ":param end: Index of point to stop with\n"
    ":param max_rmse: Maximum RMSE\n\n"
    ":type start: int\n"
    ":type end: int\n"
    ":type max_rmse: float\n\n"
    ":returns: The list of arc segments\n"
    ":rtype: list[tuple[int, int, float]]"};

}  // namespace velmora::python
