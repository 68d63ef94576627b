#pragma once
// Conversions between Python objects and the core's values. Argument
// conversions raise the interpreter's own errors (or the documented ones) as
// python_error; `argument(name, ...)` prefixes a TypeError with the parameter.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "errors.hpp"
#include "object.hpp"
#include "velmora/path2d.hpp"
#include "velmora/point.hpp"

namespace velmora::python {

/// The type's qualified name, as used in conversion messages.
std::string type_name(PyTypeObject* type);

/// "'{type}' object cannot be converted to '{target}'" as TypeError.
[[noreturn]] void raise_cannot_convert(handle obj, const char* target);

double to_double(handle obj);
std::uint64_t to_u64(handle obj);
std::size_t to_size(handle obj);
bool to_bool(handle obj);
Point to_point(handle obj);
std::vector<double> to_double_vector(handle obj);
std::vector<Point> to_point_vector(handle obj);
/// A path built from a sequence of points (Path2D::from_points), reading a
/// float64 buffer in one pass.
Path2D to_path_from_points(handle obj);

/// Re-raises a TypeError from a parameter's conversion as
/// "argument '{name}': {message}", keeping the original's cause.
[[noreturn]] void rethrow_for_argument(const char* name);

/// Runs a conversion for the named parameter.
template <class Convert>
auto argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const python_error&) {
        rethrow_for_argument(name);
    }
}

object to_python(double value);
object to_python_size(std::size_t value);
object to_list(const std::vector<double>& values);
object to_list(const std::vector<Point>& points);
object to_list(const std::vector<std::size_t>& values);
object to_list(const std::vector<Segment>& segments);
object none();

}  // namespace velmora::python
