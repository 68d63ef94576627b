// Reductions for pickle and copy, and the helper that rebuilds every object
// from them. A pickle is data from outside: every field is checked, and a
// damaged one raises TypeError or ValueError, never touches memory it should not.

#include "pickling.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binder.hpp"
#include "convert.hpp"
#include "enum_classes.hpp"
#include "errors.hpp"
#include "path2d_object.hpp"
#include "velmora/error.hpp"

namespace velmora::python {

namespace {

// Little-endian, so that a pickle reads the same on a machine of the other byte order.
std::uint64_t little_endian(std::uint64_t bits) {
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(bits);
    return bits;
}

std::vector<double> from_bytes(handle obj, const char* field) {
    if (!PyBytes_Check(obj.ptr()))
        raise(PyExc_TypeError,
              std::string("pickle: ") + field + " must be bytes, not " + type_name(obj.type()));
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(obj.ptr()));
    if (size % 8 != 0)
        raise(PyExc_ValueError, std::string("pickle: ") + field + " holds " + std::to_string(size) +
                                    " bytes, not a whole number of doubles");
    const char* data = PyBytes_AS_STRING(obj.ptr());
    std::vector<double> values(size / 8);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, data + 8 * i, 8);
        values[i] = std::bit_cast<double>(little_endian(bits));
    }
    return values;
}

object path2d_from(PyObject* const* fields, Py_ssize_t count) {
    if (count != 3) raise(PyExc_TypeError, "Path2D pickle: expected x, y and the columns");
    Path2D path = Path2D::from_coordinates(from_bytes(fields[0], "x"), from_bytes(fields[1], "y"));
    if (!PyTuple_Check(fields[2]))
        raise(PyExc_TypeError,
              "Path2D pickle: the columns must be a tuple, not " + type_name(Py_TYPE(fields[2])));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields[2]); ++i) {
        std::vector<double> column = from_bytes(PyTuple_GET_ITEM(fields[2], i), "a column");
        try {
            path.add_associated_values(std::move(column));
        } catch (const InvalidArgumentError& e) {  // a column of another length
            raise(PyExc_ValueError, std::string("Path2D pickle: ") + e.what());
        }
    }
    return wrap(std::move(path));
}

object resampling_from(std::string_view kind, PyObject* const* fields, Py_ssize_t count) {
    if (kind == "ResamplingMethod_ByNumberPoints" && count == 1)
        return new_resampling_method(ByNumberPoints{to_size(fields[0])});
    if (kind == "ResamplingMethod_BySamplingDistance" && count == 2) {
        const std::vector<double> distance = from_bytes(fields[0], "sampling_distance");
        if (distance.size() != 1) raise(PyExc_ValueError, "pickle: expected one sampling distance");
        return new_resampling_method(BySamplingDistance{distance[0], to_bool(fields[1])});
    }
    raise(PyExc_TypeError, std::string(kind) + " pickle: wrong number of fields");
}

object panic_from(PyObject* const* fields, Py_ssize_t count) {
    if (count != 1 || !PyTuple_Check(fields[0]))
        raise(PyExc_TypeError, "PanicException pickle: expected the tuple of arguments");
    PyObject* type = panic_exception_type();
    if (type == nullptr) throw python_error{};
    return check(PyObject_Call(type, fields[0], nullptr));
}

// _reconstruct(kind, *fields)
PyObject* reconstruct(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([&]() -> object {
        if (nargs < 1 || !PyUnicode_Check(args[0]))
            raise(PyExc_TypeError, "_reconstruct() expects the kind of object as a str first");
        const char* utf8 = PyUnicode_AsUTF8(args[0]);
        if (utf8 == nullptr) throw python_error{};
        const std::string_view kind(utf8);
        PyObject* const* fields = args + 1;
        const Py_ssize_t count = nargs - 1;
        if (kind == "Path2D") return path2d_from(fields, count);
        if (kind == "InterpolationMethod" || kind == "ElasticBandMethod") {
            if (count != 1)
                raise(PyExc_TypeError, std::string(kind) + " pickle: expected one value");
            return enum_member(kind == "InterpolationMethod" ? interpolation_method_type()
                                                             : elastic_band_method_type(),
                               fields[0]);
        }
        if (kind.starts_with("ResamplingMethod_")) return resampling_from(kind, fields, count);
        if (kind == "PanicException") return panic_from(fields, count);
        raise(PyExc_ValueError, "_reconstruct() cannot rebuild '" + std::string(kind) + "'");
    });
}

}  // namespace

object pack_doubles(const std::vector<double>& values) {
    object out =
        check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size() * 8)));
    char* data = PyBytes_AS_STRING(out.ptr());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint64_t bits = little_endian(std::bit_cast<std::uint64_t>(values[i]));
        std::memcpy(data + 8 * i, &bits, 8);
    }
    return out;
}

namespace {

// The module's _reconstruct, named by every reduction; kept for the process,
// as the module is (set up before any object of the module can exist).
PyObject* reconstruct_function = nullptr;

}  // namespace

void add_reconstruct_helper(PyObject* module) {
    static PyMethodDef functions[] = {
        {"_reconstruct", as_method_pointer(reconstruct), METH_FASTCALL,
         "_reconstruct($module, kind, /, *fields)\n--\n\n"
         "Rebuilds a pickled velmora object. Private: pickle calls it."},
        {nullptr, nullptr, 0, nullptr},
    };
    if (PyModule_AddFunctions(module, functions) != 0) throw python_error{};
    reconstruct_function = check(PyObject_GetAttrString(module, "_reconstruct")).release();
}

object reduction(const char* kind, std::initializer_list<handle> fields) {
    object args = check(PyTuple_New(static_cast<Py_ssize_t>(fields.size() + 1)));
    PyTuple_SET_ITEM(args.ptr(), 0, check(PyUnicode_FromString(kind)).release());
    Py_ssize_t i = 1;
    for (handle field : fields) PyTuple_SET_ITEM(args.ptr(), i++, borrow(field.ptr()).release());
    return check(PyTuple_Pack(2, reconstruct_function, args.ptr()));
}

object reduce_path2d(const Path2D& path) {
    // Only x and y travel: the points are rebuilt from them, which holds for
    // every path (the points pair x[i] with y[i] below the shorter length).
    const auto& columns = path.associated_values();
    object packed = check(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    for (std::size_t i = 0; i < columns.size(); ++i)
        PyTuple_SET_ITEM(packed.ptr(), static_cast<Py_ssize_t>(i),
                         pack_doubles(columns[i]).release());
    return reduction("Path2D", {pack_doubles(path.x()), pack_doubles(path.y()), packed});
}

PyObject* reduce_panic(PyObject* self, PyObject*) {
    return guarded([&] {
        object args = check(PyObject_GetAttrString(self, "args"));
        object rebuilt = reduction("PanicException", {args});
        // Attributes set on the exception travel as its state (None when there are none).
        object attributes = check(PyObject_GetAttrString(self, "__dict__"));
        const bool any = PyDict_Check(attributes.ptr()) && PyDict_GET_SIZE(attributes.ptr()) != 0;
        return check(PyTuple_Pack(3, PyTuple_GET_ITEM(rebuilt.ptr(), 0),
                                  PyTuple_GET_ITEM(rebuilt.ptr(), 1),
                                  any ? attributes.ptr() : Py_None));
    });
}

}  // namespace velmora::python
