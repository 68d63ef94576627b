#include "binder.hpp"

#include <string>
#include <utility>

#include "errors.hpp"

namespace velmora::python {

Signature::Signature(std::string function, std::vector<Param> params)
    : function_(std::move(function)), params_(std::move(params)) {
    for (const Param& p : params_) required_ += p.required ? 1 : 0;
}

void Signature::fail(const std::string& message) const {
    raise(PyExc_TypeError, function_ + " " + message);
}

void Signature::bind_positional(PyObject* const* args, Py_ssize_t nargs, PyObject** out) const {
    const auto total = static_cast<Py_ssize_t>(params_.size());
    if (nargs > total) {
        std::string message = "takes ";
        if (required_ == params_.size()) {
            message += std::to_string(total);
        } else {
            message += "from " + std::to_string(required_) + " to " + std::to_string(total);
        }
        message += " positional arguments but " + std::to_string(nargs) +
                   (nargs == 1 ? " was given" : " were given");
        fail(message);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
}

std::size_t Signature::find(PyObject* name) const {
    if (interned_.empty()) {
        for (const Param& p : params_) {
            PyObject* s = PyUnicode_InternFromString(p.name);
            if (s == nullptr) throw python_error{};
            interned_.push_back(s);  // kept for the process, like the signature itself
        }
    }
    for (std::size_t i = 0; i < interned_.size(); ++i) {
        if (interned_[i] == name) return i;
    }
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, params_[i].name) == 0)
            return i;
    }
    return params_.size();
}

void Signature::bind_keyword(PyObject* name, PyObject* value, PyObject** out) const {
    const std::size_t i = find(name);
    if (i == params_.size()) {
        // %U keeps the name as it is, even with characters UTF-8 cannot carry.
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                     function_.c_str(), name);
        throw python_error{};
    }
    if (out[i] != nullptr) {
        fail(std::string("got multiple values for argument '") + params_[i].name + "'");
    }
    out[i] = value;
}

void Signature::check_required(PyObject** out) const {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (params_[i].required && out[i] == nullptr) missing.push_back(params_[i].name);
    }
    if (missing.empty()) return;
    std::string message = "missing " + std::to_string(missing.size()) +
                          " required positional argument" + (missing.size() == 1 ? "" : "s") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i != 0) {
            if (missing.size() > 2) message += ',';
            message += (i == missing.size() - 1) ? " and " : " ";
        }
        message += '\'';
        message += missing[i];
        message += '\'';
    }
    fail(message);
}

void Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) const {
    for (std::size_t i = 0; i < params_.size(); ++i) out[i] = nullptr;
    nargs = PyVectorcall_NARGS(nargs);
    bind_positional(args, nargs, out);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
        }
    }
    check_required(out);
}

void Signature::bind(PyObject* args, PyObject* kwargs, PyObject** out) const {
    for (std::size_t i = 0; i < params_.size(); ++i) out[i] = nullptr;
    bind_positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) bind_keyword(name, value, out);
    }
    check_required(out);
}

}  // namespace velmora::python
