// Resampling and elastic band smoothing: the methods that take enumeration values.

#include "enums.hpp"
#include "path2d_methods.hpp"
#include "path2d_object.hpp"

namespace velmora::python {

namespace {

PyObject* resampled_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature sig("Path2D.resampled_path()", {{"resampling_method", true},
                                                           {"resampling_type", false},
                                                           {"epsilon", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const ResamplingMethod method =
            argument("resampling_method", [&] { return to_resampling_method(a[0]); });
        const InterpolationMethod interpolation = optional_argument(
            a[1], "resampling_type", InterpolationMethod::Linear, to_interpolation_method);
        const double epsilon = optional_argument(a[2], "epsilon", 0.01, to_double);
        return wrap(path.resampled_path(method, interpolation, epsilon));
    });
}

PyObject* smoothed_path_elastic_band(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    static const Signature sig("Path2D.smoothed_path_elastic_band()",
                               {{"max_deviation", true}, {"elastic_band_type", false}});
    return shared_method(self, sig, args, nargs, kwnames, [](const Path2D& path, PyObject** a) {
        const double max_deviation = argument("max_deviation", [&] { return to_double(a[0]); });
        const ElasticBandMethod method = optional_argument(
            a[1], "elastic_band_type", ElasticBandMethod::OrthogonalBounds, to_elastic_band_method);
        std::optional<Path2D> result = path.smoothed_path_elastic_band(max_deviation, method);
        return result ? wrap(std::move(*result)) : none();
    });
}

}  // namespace

const PyMethodDef resampled_path_def = {
    "resampled_path", reinterpret_cast<PyCFunction>(resampled_path), METH_FASTCALL | METH_KEYWORDS,
    "resampled_path($self, resampling_method, resampling_type=..., epsilon=0.01)\n--\n\n"
    "resampled_path(resampling_method, resampling_type=InterpolationMethod.Linear, epsilon=0.01)\n\n"
    "Resamples the path equidistantly using the given interpolation method.\n\n"
    ":param number_points: Number of points of the resampled path\n"
    ":param resampling_type: Method of interpolation\n"
    ":param epsilon: The distance within two points are considered equal\n\n"
    ":type number_points: int\n"
    ":type resampling_type: ResamplingType\n"
    ":type epsilon: float\n\n"
    ":returns: Resampled path\n"
    ":rtype: Path2D"};

const PyMethodDef smoothed_path_elastic_band_def = {
    "smoothed_path_elastic_band", reinterpret_cast<PyCFunction>(smoothed_path_elastic_band),
    METH_FASTCALL | METH_KEYWORDS,
    "smoothed_path_elastic_band($self, max_deviation, elastic_band_type=...)\n--\n\n"
    "smoothed_path_elastic_band(max_deviation, elastic_band_type=ElasticBandMethod.OrthogonalBounds)\n\n"
    "Smoothes the path using an algorithm from Autoware [1]. A QP has to be solved for that.\n"
    "CLARABEL [2] is used as the solver.\n\n"
    "[1] https://autowarefoundation.github.io/autoware.universe/main/planning/"
    "autoware_path_smoother/docs/eb/\n"
    "[2] https://clarabel.org/stable/\n\n"
    ":param max_deviation: Maximum deviation from the original path\n"
    ":param elastic_band_type: Type of constraining the deviation to the original path\n\n"
    ":type max_deviation: float\n"
    ":type elastic_band_type: ElasticBandType\n\n"
    ":returns: The smoothed path\n"
    ":rtype: Path2D"};

}  // namespace velmora::python
