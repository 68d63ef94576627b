// The members of Path2D, one row each, in the class's order: its read-only
// properties, then its methods. A row's body converts nothing itself: its
// parameter types choose the conversions and its receiver the borrow
// (method_table.hpp).

#include <tuple>
#include <variant>

#include "method_table.hpp"
#include "numpy_api.hpp"
#include "path2d_object.hpp"
#include "pickling.hpp"
#include "velmora/error.hpp"

namespace velmora::python {

namespace {

constexpr double default_epsilon = 0.01;
constexpr double default_max_rmse = 0.15;
constexpr double default_sus_angle = 2.8;

template <class T>
object optional_result(const std::optional<T>& value, object (*convert)(T)) {
    return value ? convert(*value) : none();
}
object path_or_none(std::optional<Path2D>&& result) {
    return result ? wrap(std::move(*result)) : none();
}
// Python is told only whether there is a path, not why not.
object path_or_none(std::variant<Path2D, qp::SolverError>&& result) {
    Path2D* path = std::get_if<Path2D>(&result);
    return path != nullptr ? wrap(std::move(*path)) : none();
}

object array_of(const std::vector<double>& v) { return new_array_1d(v.data(), v.size()); }
object array_of(const std::vector<Point>& v) {
    // rows = entries, columns = length of the first row, so no points gives (0, 0)
    return new_array_2d(reinterpret_cast<const double*>(v.data()), v.size(), v.empty() ? 0 : 2);
}

// A per-point property twice: as a list under `name`, and as a float64 array
// under `array_name` (name + "_np").
template <auto Read>
constexpr auto list_and_array(const char* name, const char* array_name) {
    return std::tuple{
        Property{name, +[](const Path2D& path) { return to_list((path.*Read)()); }},
        Property{array_name, +[](const Path2D& path) { return array_of((path.*Read)()); }}};
}

// The coordinates, and the per-point geometry computed on first use.
constexpr auto properties = std::tuple_cat(
    list_and_array<&Path2D::points>("points", "points_np"), list_and_array<&Path2D::x>("x", "x_np"),
    list_and_array<&Path2D::y>("y", "y_np"),
    list_and_array<&Path2D::path_length_per_point>("path_length_per_point",
                                                   "path_length_per_point_np"),
    std::tuple{Property{"length", +[](const Path2D& path) { return to_python(path.length()); }}},
    list_and_array<&Path2D::orientation>("orientation", "orientation_np"),
    list_and_array<&Path2D::unit_tangent_vector>("unit_tangent_vector", "unit_tangent_vector_np"),
    list_and_array<&Path2D::curvature>("curvature", "curvature_np"));

constexpr std::tuple methods{
    // Circle fit curvature and circle segments
    Method{"compute_circle_fit_curvature", params(arg("max_rmse", default_max_rmse)),
           +[](const Path2D& path, double max_rmse) {
               return to_list(path.compute_circle_fit_curvature(max_rmse));
           },
           "Computes the curvature by decomposing the path into arc segments.\n\n"
           ":param max_rmse: The maximum RMSE (root mean squared error) that is not exceeded when\n"
           "                    fitting the arc segments\n\n"
           ":type max_rmse: float\n\n"
           ":returns: The curvature of the path\n"
           ":rtype: list[float]"},
    Method{"find_circle_segments",
           params(arg("start"), arg("end"), arg("max_rmse", default_max_rmse)),
           +[](const Path2D& path, std::size_t start, std::size_t end, double max_rmse) {
               return to_list(path.find_circle_segments(start, end, max_rmse));
           },
           "Decomposes the path into its circle segments, such that the maximum\n"
           "RMSE (root mean squared error) is not exceeded.\n\n"
           ":param start: Index of point to start from\n"
           ":param end: Index of point to stop with\n"
           ":param max_rmse: Maximum RMSE\n\n"
           ":type start: int\n"
           ":type end: int\n"
           ":type max_rmse: float\n\n"
           ":returns: The list of arc segments\n"
           ":rtype: list[tuple[int, int, float]]"},

    // Resampling
    Method{
        "resampled_path",
        params(arg("resampling_method"),
               arg("resampling_type", InterpolationMethod::Linear, "InterpolationMethod.Linear"),
               arg("epsilon", default_epsilon)),
        +[](const Path2D& path, ResamplingMethod method, InterpolationMethod interpolation,
            double epsilon) { return wrap(path.resampled_path(method, interpolation, epsilon)); },
        "Resamples the path equidistantly using the given interpolation method.\n\n"
        ":param number_points: Number of points of the resampled path\n"
        ":param resampling_type: Method of interpolation\n"
        ":param epsilon: The distance within two points are considered equal\n\n"
        ":type number_points: int\n"
        ":type resampling_type: ResamplingType\n"
        ":type epsilon: float\n\n"
        ":returns: Resampled path\n"
        ":rtype: Path2D"},

    // Smoothing: elastic band and Chaikin
    Method{
        "smoothed_path_elastic_band",
        params(arg("max_deviation"), arg("elastic_band_type", ElasticBandMethod::OrthogonalBounds,
                                         "ElasticBandMethod.OrthogonalBounds")),
        +[](const Path2D& path, double max_deviation, ElasticBandMethod method) {
            return path_or_none(path.smoothed_path_elastic_band(max_deviation, method));
        },
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
        ":rtype: Path2D"},
    Method{"smoothed_path_chaikin", params(arg("num_iterations")),
           +[](const Path2D& path, std::size_t iterations) {
               return wrap(path.smoothed_path_chaikin(iterations));
           },
           "Smoothes the path using the Chaikin's path smoothing algorithm.\n\n"
           ":param num_iterations: Number of iterations used for Chaikin's path smoothing "
           "algorithm.\n\n"
           ":type num_iterations: int\n\n"
           ":returns: The smoothed path\n"
           ":rtype: Path2D"},

    // Projection and sub-path
    Method{"index_from_point", params(arg("point"), arg("epsilon", default_epsilon)),
           +[](const Path2D& path, Point point, double epsilon) {
               return optional_result(path.index_from_point(point, epsilon), to_python_size);
           },
           "Returns the index of the nearest point on the path in front of the given point.\n"
           "If the point outside the path, None is returned\n\n"
           ":param point: Point of interest\n"
           ":param epsilon: The distance within two points are considered equal\n\n"
           ":type point: list[float]\n"
           ":type epsilon: float\n\n"
           ":returns: The index of the nearest point\n"
           ":rtype: Option[int]"},
    Method{"path_length_from_point", params(arg("point"), arg("epsilon", default_epsilon)),
           +[](const Path2D& path, Point point, double epsilon) {
               return optional_result(path.path_length_from_point(point, epsilon), to_python);
           },
           "Returns the path length from the first point to the given point.\n"
           "If the point outside the path, None is returned\n\n"
           ":param point: Point of interest\n"
           ":param epsilon: The distance within two points are considered equal\n\n"
           ":type point: list[float]\n"
           ":type epsilon: float\n\n"
           ":returns: The path length\n"
           ":rtype: Option[int]"},
    Method{"sub_path",
           params(arg("start", std::nullopt), arg("end", std::nullopt),
                  arg("epsilon", default_epsilon)),
           +[](const Path2D& path, std::optional<Point> start, std::optional<Point> end,
               double epsilon) { return path_or_none(path.sub_path(start, end, epsilon)); },
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
           ":rtype: Path2D"},

    // Point order repair
    Method{"detect_corrupted_point_order", params(arg("sus_angle", default_sus_angle)),
           +[](const Path2D& path, double sus_angle) {
               return to_list(path.detect_corrupted_point_order(sus_angle));
           },
           "Returns the list of all indices where the path turns sharper than sus_angle.\n\n"
           ":param sus_angle: Every turn sharper than this angle is suspicious.\n\n"
           ":type sus_angle: float\n\n"
           ":returns: Indices of suspicious points\n"
           ":rtype: list[int]"},
    Method{
        "repair_corrupted_point_order", params(arg("sus_angle", default_sus_angle)),
        +[](const Path2D& path, double sus_angle) {
            return wrap(path.repair_corrupted_point_order(sus_angle));
        },
        "Repairs corrupted point order by removing points that progress in the wrong direction.\n\n"
        ":param sus_angle: Every turn sharper than this angle is suspicious.\n\n"
        ":type sus_angle: float\n\n"
        ":returns: Repaired path\n"
        ":rtype: Path2D"},

    // Associated values (the only method that changes the path: exclusive borrow)
    Method{"add_associated_values", params(arg("values")),
           +[](Path2D& path, std::vector<double> values) {
               try {
                   return to_python_size(path.add_associated_values(std::move(values)));
               } catch (const InvalidArgumentError& e) {  // a column of another length
                   raise(PyExc_TypeError, e.what());
               }
           },
           "Adds an associated value.\n\n"
           ":param values: The values that should be added as associated to the path\n\n"
           ":type values: list[float]\n\n"
           ":returns: The handle for accessing the associated values again\n"
           ":rtype: int"},
    Method{"associated_values", params(arg("handle")),
           +[](const Path2D& path, std::size_t handle) {
               const Path2D::Column* column = path.associated_column(handle);
               return column != nullptr ? to_list(*column) : none();
           },
           "Returns the respective associated values.\n\n"
           ":param handle: The handle of the associated values\n\n"
           ":type handle: int\n\n"
           ":returns: The associated values\n"
           ":rtype: list[float]"},
    Method{"associated_value_np", params(arg("handle")),
           +[](const Path2D& path, std::size_t handle) {
               const Path2D::Column* column = path.associated_column(handle);
               return column != nullptr ? new_array_1d(column->data(), column->size()) : none();
           },
           "Returns the respective associated values.\n\n"
           ":param handle: The handle of the associated values\n\n"
           ":type handle: int\n\n"
           ":returns: The associated values\n"
           ":rtype: numpy.ndarray",
           "associated_values_np"},  // the docstring's own spelling

    // Pickling; copy.copy and copy.deepcopy use the same reduction
    Method{"__reduce__", params(), +[](const Path2D& path) { return reduce_path2d(path); }},
};

constexpr auto rows = std::tuple_cat(properties, methods);

}  // namespace

MemberTables path2d_members() { return member_tables<Path2DClass, rows>(); }

}  // namespace velmora::python
