// Chaikin smoothing and the repair of corrupted point order.

#include "path2d_methods.hpp"
#include "path2d_object.hpp"

namespace velmora::python {

namespace {

constexpr double default_sus_angle = 2.8;

PyObject* smoothed_path_chaikin(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const Signature sig("Path2D.smoothed_path_chaikin()", {{"num_iterations", true}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const std::size_t iterations = argument("num_iterations", [&] { return to_size(a[0]); });
        return wrap(path.smoothed_path_chaikin(iterations));
    });
}

PyObject* detect_corrupted_point_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const Signature sig("Path2D.detect_corrupted_point_order()", {{"sus_angle", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const double sus_angle = optional_argument(a[0], "sus_angle", default_sus_angle, to_double);
        return to_list(path.detect_corrupted_point_order(sus_angle));
    });
}

PyObject* repair_corrupted_point_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const Signature sig("Path2D.repair_corrupted_point_order()", {{"sus_angle", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const double sus_angle = optional_argument(a[0], "sus_angle", default_sus_angle, to_double);
        return wrap(path.repair_corrupted_point_order(sus_angle));
    });
}

}  // namespace

const PyMethodDef smoothed_path_chaikin_def = {
    "smoothed_path_chaikin", reinterpret_cast<PyCFunction>(smoothed_path_chaikin),
    METH_FASTCALL | METH_KEYWORDS,
    "smoothed_path_chaikin($self, num_iterations)\n--\n\n"
    "smoothed_path_chaikin(num_iterations)\n\n"
    "Smoothes the path using the Chaikin's path smoothing algorithm.\n\n"
    ":param num_iterations: Number of iterations used for Chaikin's path smoothing algorithm.\n\n"
    ":type num_iterations: int\n\n"
    ":returns: The smoothed path\n"
    ":rtype: Path2D"};

const PyMethodDef detect_corrupted_point_order_def = {
    "detect_corrupted_point_order", reinterpret_cast<PyCFunction>(detect_corrupted_point_order),
    METH_FASTCALL | METH_KEYWORDS,
    "detect_corrupted_point_order($self, sus_angle=2.8)\n--\n\n"
    "detect_corrupted_point_order(sus_angle=2.8)\n\n"
    "Returns the list of all indices where the path turns sharper than sus_angle.\n\n"
    ":param sus_angle: Every turn sharper than this angle is suspicious.\n\n"
    ":type sus_angle: float\n\n"
    ":returns: Indices of suspicious points\n"
    ":rtype: list[int]"};

const PyMethodDef repair_corrupted_point_order_def = {
    "repair_corrupted_point_order", reinterpret_cast<PyCFunction>(repair_corrupted_point_order),
    METH_FASTCALL | METH_KEYWORDS,
    "repair_corrupted_point_order($self, sus_angle=2.8)\n--\n\n"
    "repair_corrupted_point_order(sus_angle=2.8)\n\n"
    "Repairs corrupted point order by removing points that progress in the wrong direction.\n\n"
    ":param sus_angle: Every turn sharper than this angle is suspicious.\n\n"
    ":type sus_angle: float\n\n"
    ":returns: Repaired path\n"
    ":rtype: Path2D"};

}  // namespace velmora::python
