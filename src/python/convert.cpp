#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace velmora::python {

std::string type_name(PyTypeObject* type) {
    object name = steal(PyType_GetQualName(type));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.ptr()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return type->tp_name;
    }
    return utf8;
}

void raise_cannot_convert(handle obj, const char* target) {
    raise(PyExc_TypeError,
          "'" + type_name(obj.type()) + "' object cannot be converted to '" + target + "'");
}

double to_double(handle obj) {
    if (PyFloat_CheckExact(obj.ptr())) return PyFloat_AS_DOUBLE(obj.ptr());
    const double value = PyFloat_AsDouble(obj.ptr());
    if (value == -1.0 && PyErr_Occurred()) throw python_error{};
    return value;
}

std::uint64_t to_u64(handle obj) {
    unsigned long long value;
    if (PyLong_Check(obj.ptr())) {
        value = PyLong_AsUnsignedLongLong(obj.ptr());
    } else {
        object index = check(PyNumber_Index(obj.ptr()));
        value = PyLong_AsUnsignedLongLong(index.ptr());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw python_error{};
    return value;
}

std::size_t to_size(handle obj) {
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "64-bit platforms only");
    return static_cast<std::size_t>(to_u64(obj));
}

bool to_bool(handle obj) {
    if (PyBool_Check(obj.ptr())) return obj.ptr() == Py_True;
    // NumPy's bool scalar is accepted as well, by its truth value.
    const std::string module = [&] {
        object mod =
            steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(obj.type()), "__module__"));
        const char* utf8 =
            (mod && PyUnicode_Check(mod.ptr())) ? PyUnicode_AsUTF8(mod.ptr()) : nullptr;
        if (utf8 == nullptr) clear_ordinary_error();
        return std::string(utf8 != nullptr ? utf8 : "");
    }();
    const std::string name = obj.type()->tp_name;
    if (module == "numpy" &&
        (name == "numpy.bool_" || name == "numpy.bool" || name == "bool_" || name == "bool")) {
        const int truth = PyObject_IsTrue(obj.ptr());
        if (truth < 0) throw python_error{};
        return truth != 0;
    }
    raise_cannot_convert(obj, "PyBool");
}

namespace {

void require_sequence(handle obj) {
    if (!PySequence_Check(obj.ptr())) raise_cannot_convert(obj, "Sequence");
}

// A type looked up by name once and then compared by identity, so that a
// subclass (which may iterate differently) never counts as the type itself.
class ExactType {
public:
    constexpr ExactType(const char* module, const char* name, const char* full_name)
        : module_(module), name_(name), full_name_(full_name) {}

    bool matches(PyTypeObject* type) {
        if (type_ != nullptr) return type == type_;
        // Only a type of that name can be it; this keeps NumPy unimported
        // until an object that claims to be an ndarray shows up.
        if (std::strcmp(type->tp_name, full_name_) != 0) return false;
        object module = steal(PyImport_ImportModule(module_));
        object found = module ? steal(PyObject_GetAttrString(module.ptr(), name_)) : object();
        if (!found) {
            clear_ordinary_error();
            return false;
        }
        if (!PyType_Check(found.ptr())) return false;
        type_ = reinterpret_cast<PyTypeObject*>(found.release());  // kept for the process
        return type == type_;
    }

private:
    const char* module_;
    const char* name_;
    const char* full_name_;
    PyTypeObject* type_ = nullptr;
};

ExactType ndarray_type("numpy", "ndarray", "numpy.ndarray");
ExactType array_type("array", "array", "array.array");

// The buffer format of native doubles, as NumPy may spell it.
bool is_native_double(const char* format, bool numpy_spellings) {
    if (std::strcmp(format, "d") == 0) return true;
    if (!numpy_spellings) return false;
    const char* native = std::endian::native == std::endian::little ? "<d" : ">d";
    return std::strcmp(format, "=d") == 0 || std::strcmp(format, native) == 0;
}

// The values of a C-contiguous buffer of native doubles with the given number
// of columns (0: one-dimensional), read in place. Only where that gives
// exactly what iterating the object gives: an object whose type is exactly
// numpy.ndarray, or (one-dimensional) memoryview or array.array. Subclasses
// such as masked arrays and matrices, and non-sequences that merely export a
// buffer, go through the sequence rules.
class DoubleBuffer {
public:
    DoubleBuffer(handle obj, int columns) {
        PyTypeObject* type = obj.type();
        if (PyList_CheckExact(obj.ptr()) || PyTuple_CheckExact(obj.ptr()) ||
            type->tp_as_buffer == nullptr)
            return;
        const bool ndarray = ndarray_type.matches(type);
        const bool plain =
            columns == 0 && (PyMemoryView_Check(obj.ptr()) || array_type.matches(type));
        if (!ndarray && !plain) return;
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            clear_ordinary_error();
            return;
        }
        held_ = true;
        const bool is_double =
            view_.itemsize == 8 &&
            is_native_double(view_.format != nullptr ? view_.format : "B", ndarray);
        const bool shape_ok =
            columns == 0 ? view_.ndim == 1 : (view_.ndim == 2 && view_.shape[1] == columns);
        // A buffer at an odd address (a view at a byte offset) cannot be read
        // as doubles in place; the generic conversion handles it.
        const bool aligned = reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
        usable_ = is_double && shape_ok && aligned;
    }
    ~DoubleBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    DoubleBuffer(const DoubleBuffer&) = delete;
    DoubleBuffer& operator=(const DoubleBuffer&) = delete;

    bool usable() const noexcept { return usable_; }
    std::size_t rows() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }
    const double* data() const noexcept { return static_cast<const double*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool usable_ = false;
};

// Iterates a sequence like the interpreter's iterator would, reading exact
// lists and tuples directly. Items are held strongly while converted.
template <class Each>
void for_each_item(handle seq, Each&& each) {
    PyObject* ptr = seq.ptr();
    if (PyList_CheckExact(ptr)) {
        // the size is re-read every step, as the list iterator does, since an
        // item's conversion may run Python code that changes the list
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ptr); ++i) {
            object item = borrow(PyList_GET_ITEM(ptr, i));
            each(item);
        }
        return;
    }
    if (PyTuple_CheckExact(ptr)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ptr); ++i)
            each(handle(PyTuple_GET_ITEM(ptr, i)));
        return;
    }
    object iter = check(PyObject_GetIter(ptr));
    while (PyObject* raw = PyIter_Next(iter.ptr())) {
        object item = steal(raw);
        each(item);
    }
    if (PyErr_Occurred()) throw python_error{};
}

// Capacity hint from len(); a failing or absurd length only loses the hint,
// but an interrupt raised in __len__ ends the conversion.
std::size_t length_hint(handle seq) {
    const Py_ssize_t n = PySequence_Size(seq.ptr());
    if (n < 0) {
        clear_ordinary_error();
        return 0;
    }
    return std::min<std::size_t>(static_cast<std::size_t>(n), std::size_t{1} << 24);
}

void refuse_str(handle obj) {
    if (PyUnicode_Check(obj.ptr())) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
}

}  // namespace

Point to_point(handle obj) {
    PyObject* ptr = obj.ptr();
    if ((PyList_CheckExact(ptr) || PyTuple_CheckExact(ptr)) && Py_SIZE(ptr) == 2) {
        PyObject* const* items =
            PyList_CheckExact(ptr) ? &PyList_GET_ITEM(ptr, 0) : &PyTuple_GET_ITEM(ptr, 0);
        if (PyFloat_CheckExact(items[0]) && PyFloat_CheckExact(items[1]))
            return {PyFloat_AS_DOUBLE(items[0]), PyFloat_AS_DOUBLE(items[1])};
    }
    require_sequence(obj);
    const Py_ssize_t n = PySequence_Size(ptr);
    if (n < 0) throw python_error{};
    if (n != 2) {
        raise(PyExc_ValueError, "expected a sequence of length 2 (got " + std::to_string(n) + ")");
    }
    Point p;
    object first = check(PySequence_GetItem(ptr, 0));
    p.x = to_double(first);
    object second = check(PySequence_GetItem(ptr, 1));
    p.y = to_double(second);
    return p;
}

std::vector<double> to_double_vector(handle obj) {
    refuse_str(obj);
    if (DoubleBuffer buffer(obj, 0); buffer.usable()) {
        return std::vector<double>(buffer.data(), buffer.data() + buffer.rows());
    }
    require_sequence(obj);
    std::vector<double> values;
    values.reserve(length_hint(obj));
    for_each_item(obj, [&](handle item) { values.push_back(to_double(item)); });
    return values;
}

std::vector<Point> to_point_vector(handle obj) {
    refuse_str(obj);
    if (DoubleBuffer buffer(obj, 2); buffer.usable()) {
        // Point is two packed doubles, so the rows copy over as they are.
        const auto* first = reinterpret_cast<const Point*>(buffer.data());
        return std::vector<Point>(first, first + buffer.rows());
    }
    require_sequence(obj);
    std::vector<Point> points;
    points.reserve(length_hint(obj));
    for_each_item(obj, [&](handle item) { points.push_back(to_point(item)); });
    return points;
}

Path2D to_path_from_points(handle obj) {
    if (!PyUnicode_Check(obj.ptr())) {
        if (DoubleBuffer buffer(obj, 2); buffer.usable()) {
            // One pass over the buffer fills the points and both coordinate columns.
            return Path2D::from_interleaved({buffer.data(), 2 * buffer.rows()});
        }
    }
    return Path2D::from_points(to_point_vector(obj));
}

void rethrow_for_argument(const char* name) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {  // exactly TypeError: subclasses pass unchanged
        PyErr_Restore(type, value, traceback);
        throw python_error{};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    object original = steal(value);
    object original_type = steal(type);
    object original_tb = steal(traceback);
    object message = check(PyUnicode_FromFormat("argument '%s': %S", name, original.ptr()));
    object replacement = check(PyObject_CallOneArg(PyExc_TypeError, message.ptr()));
    PyException_SetCause(replacement.ptr(), PyException_GetCause(original.ptr()));
    PyErr_Restore(borrow(PyExc_TypeError).release(), replacement.release(), nullptr);
    throw python_error{};
}

object to_python(double value) { return check(PyFloat_FromDouble(value)); }

object to_python_size(std::size_t value) { return check(PyLong_FromSize_t(value)); }

object none() { return borrow(Py_None); }

namespace {

template <class T, class Make>
object make_list(const std::vector<T>& values, Make&& make) {
    object list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), make(values[i]).release());
    }
    return list;
}

}  // namespace

object to_list(const std::vector<double>& values) {
    return make_list(values, [](double v) { return to_python(v); });
}

object to_list(const std::vector<Point>& points) {
    return make_list(points, [](const Point& p) {
        object pair = check(PyList_New(2));
        PyList_SET_ITEM(pair.ptr(), 0, to_python(p.x).release());
        PyList_SET_ITEM(pair.ptr(), 1, to_python(p.y).release());
        return pair;
    });
}

object to_list(const std::vector<std::size_t>& values) {
    return make_list(values, [](std::size_t v) { return to_python_size(v); });
}

object to_list(const std::vector<Segment>& segments) {
    return make_list(segments, [](const Segment& s) {
        object start = to_python_size(s.start);
        object end = to_python_size(s.end);
        object curvature = to_python(s.curvature);
        return check(PyTuple_Pack(3, start.ptr(), end.ptr(), curvature.ptr()));
    });
}

}  // namespace velmora::python
