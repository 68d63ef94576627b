// Associated values: per-point columns attached to a path and read by handle.

#include "numpy_api.hpp"
#include "path2d_methods.hpp"
#include "path2d_object.hpp"

namespace velmora::python {

namespace {

PyObject* add_associated_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const Signature sig("Path2D.add_associated_values()", {{"values", true}});
    return exclusive_method(self, sig, args, nargs, kwnames, [](Path2D& path, PyObject** a) {
        auto values = argument("values", [&] { return to_double_vector(a[0]); });
        Path2D::AttachResult attached = path.add_associated_values(std::move(values));
        if (!attached.handle) raise(PyExc_TypeError, attached.error);
        return to_python_size(*attached.handle);
    });
}

template <class Make>
PyObject* read_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const Signature& sig, Make&& make) {
    return shared_method(self, sig, args, nargs, kwnames, [&](const Path2D& path, PyObject** a) {
        const std::size_t handle = argument("handle", [&] { return to_size(a[0]); });
        const Path2D::Column* column = path.associated_column(handle);
        return column != nullptr ? make(*column) : none();
    });
}

PyObject* associated_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static const Signature sig("Path2D.associated_values()", {{"handle", true}});
    return read_column(self, args, nargs, kwnames, sig,
                       [](const Path2D::Column& column) { return to_list(column); });
}

PyObject* associated_value_np(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const Signature sig("Path2D.associated_value_np()", {{"handle", true}});
    return read_column(self, args, nargs, kwnames, sig, [](const Path2D::Column& column) {
        return new_array_1d(column.data(), column.size());
    });
}

}  // namespace

const PyMethodDef add_associated_values_def = {
    "add_associated_values", reinterpret_cast<PyCFunction>(add_associated_values),
    METH_FASTCALL | METH_KEYWORDS,
    "add_associated_values($self, values)\n--\n\n"
    "add_associated_values(values)\n\n"
    "Adds an associated value.\n\n"
    ":param values: The values that should be added as associated to the path\n\n"
    ":type values: list[float]\n\n"
    ":returns: The handle for accessing the associated values again\n"
    ":rtype: int"};

const PyMethodDef associated_values_def = {
    "associated_values", reinterpret_cast<PyCFunction>(associated_values),
    METH_FASTCALL | METH_KEYWORDS,
    "associated_values($self, handle)\n--\n\n"
    "associated_values(handle)\n\n"
    "Returns the respective associated values.\n\n"
    ":param handle: The handle of the associated values\n\n"
    ":type handle: int\n\n"
    ":returns: The associated values\n"
    ":rtype: list[float]"};

const PyMethodDef associated_value_np_def = {
    "associated_value_np", reinterpret_cast<PyCFunction>(associated_value_np),
    METH_FASTCALL | METH_KEYWORDS,
    "associated_value_np($self, handle)\n--\n\n"
    "associated_values_np(handle)\n\n"
    "Returns the respective associated values.\n\n"
    ":param handle: The handle of the associated values\n\n"
    ":type handle: int\n\n"
    ":returns: The associated values\n"
    ":rtype: numpy.ndarray"};

}  // namespace velmora::python
