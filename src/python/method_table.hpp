#pragma once
// A Python method as one declarative row: its name, its parameters with
// their defaults, a body that takes the receiver and the converted
// arguments, and its docstring. From a tuple of rows come the fast-call entry
// points, the text-signature headers and the PyMethodDef table.
//
// The body's receiver parameter states the borrow: `const Path2D&` takes a
// shared borrow, `Path2D&` the exclusive one. The types of its other
// parameters choose the conversions (convert_argument below).

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binder.hpp"
#include "convert.hpp"
#include "enum_classes.hpp"
#include "float_format.hpp"
#include "object.hpp"

namespace velmora::python {

/// A parameter without a default.
struct Required {
    const char* name;
};

/// A parameter with a default value. `text` is the default as the docstring
/// writes it when it is not a plain literal (an enumeration member); the text
/// signature then shows "...", as the interpreter reads only literals there.
template <class T>
struct Defaulted {
    const char* name;
    T value;
    const char* text = nullptr;
};

/// A parameter whose default is None: None and absence both mean "not given".
struct NoneDefault {
    const char* name;
};

constexpr Required arg(const char* name) { return {name}; }
constexpr NoneDefault arg(const char* name, std::nullopt_t) { return {name}; }
template <class T>
constexpr Defaulted<T> arg(const char* name, T value, const char* text = nullptr) {
    return {name, value, text};
}

template <class... Args>
constexpr std::tuple<Args...> params(Args... args) {
    return {args...};
}

template <class Body, class... Args>
struct Method {
    const char* name;
    std::tuple<Args...> args;
    Body body;
    /// The docstring after its first line; null for none (special methods).
    const char* doc = nullptr;
    /// The name the docstring's first line gives, where it is not the method's.
    const char* doc_name = nullptr;
};

// --- conversions chosen by the body's parameter types -----------------------

template <class T>
T convert_argument(handle obj);
template <> inline double convert_argument<double>(handle obj) { return to_double(obj); }
template <> inline std::size_t convert_argument<std::size_t>(handle obj) { return to_size(obj); }
template <> inline Point convert_argument<Point>(handle obj) { return to_point(obj); }
template <> inline handle convert_argument<handle>(handle obj) { return obj; }
template <> inline Path2D convert_argument<Path2D>(handle obj) { return to_path_from_points(obj); }
template <>
inline std::vector<double> convert_argument<std::vector<double>>(handle obj) {
    return to_double_vector(obj);
}
template <>
inline ResamplingMethod convert_argument<ResamplingMethod>(handle obj) {
    return to_resampling_method(obj);
}
template <>
inline InterpolationMethod convert_argument<InterpolationMethod>(handle obj) {
    return to_interpolation_method(obj);
}
template <>
inline ElasticBandMethod convert_argument<ElasticBandMethod>(handle obj) {
    return to_elastic_band_method(obj);
}

namespace detail {

template <class T>
T take(const Required& param, PyObject* value) {
    return argument(param.name, [&] { return convert_argument<T>(value); });
}

template <class T, class U>
T take(const Defaulted<U>& param, PyObject* value) {
    if (value == nullptr) return T(param.value);
    return argument(param.name, [&] { return convert_argument<T>(value); });
}

template <class T>
T take(const NoneDefault& param, PyObject* value) {
    if (value == nullptr || value == Py_None) return std::nullopt;
    return argument(param.name, [&] { return convert_argument<typename T::value_type>(value); });
}

// The parts of a body's function type.
template <class F>
struct body_traits;
template <class R, class Receiver, class... Ts>
struct body_traits<R (*)(Receiver, Ts...)> {
    using receiver = Receiver;
    using arguments = std::tuple<std::decay_t<Ts>...>;
};

inline void append_default(std::string&, const Required&, bool) {}
inline void append_default(std::string& out, const NoneDefault&, bool) { out += "=None"; }
template <class T>
void append_default(std::string& out, const Defaulted<T>& param, bool in_signature) {
    out += '=';
    if constexpr (std::is_floating_point_v<T>) {
        if (param.text == nullptr) return append_double(out, param.value);
    }
    out += in_signature || param.text == nullptr ? "..." : param.text;
}

// "(a, b=0.01)" with `first` ("$self" or nothing) in front.
template <class... Args>
std::string parameter_list(const std::tuple<Args...>& args, const char* first, bool in_signature) {
    std::string out = "(";
    out += first;
    bool comma = *first != '\0';
    std::apply(
        [&](const auto&... param) {
            ((out += comma ? ", " : "", out += param.name, append_default(out, param, in_signature),
              comma = true),
             ...);
        },
        args);
    out += ')';
    return out;
}

/// The whole docstring: the text-signature header, then the docstring proper,
/// whose first line repeats the name and parameters without the receiver.
template <class... Args>
std::string docstring(const char* name, const char* receiver, const std::tuple<Args...>& args,
                      const char* doc, const char* doc_name = nullptr) {
    std::string out = name + parameter_list(args, receiver, true) + "\n--\n\n";
    if (doc == nullptr) return out;
    out += doc_name != nullptr ? doc_name : name;
    out += parameter_list(args, "", false) + "\n\n" + doc;
    return out;
}

/// The binder's view of a parameter list; `function` names it in messages.
template <class... Args>
Signature signature_of(std::string function, const std::tuple<Args...>& args) {
    std::vector<Param> list;
    std::apply([&](const auto&... param) {
        (list.push_back({param.name, std::is_same_v<std::decay_t<decltype(param)>, Required>}), ...);
    }, args);
    return Signature(std::move(function), list);
}

/// Converts bound arguments to Ts..., strictly left to right (braced
/// initialisation orders the calls), each absent one taking its default.
template <class... Ts, class... Args>
std::tuple<Ts...> convert_all(const std::tuple<Args...>& args, PyObject* const* bound) {
    static_assert(sizeof...(Ts) == sizeof...(Args), "one parameter row for each argument");
    return [&]<std::size_t... K>(std::index_sequence<K...>) {
        return std::tuple<Ts...>{take<Ts>(std::get<K>(args), bound[K])...};
    }(std::index_sequence_for<Args...>{});
}

/// The fast-call entry point of row I: bind, take the receiver (with its
/// borrow), convert the arguments in parameter order, run the body.
template <class Class, const auto& Rows, std::size_t I>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
    static constexpr const auto& row = std::get<I>(Rows);
    using traits = body_traits<decltype(row.body)>;
    using arguments = typename traits::arguments;
    static_assert(std::tuple_size_v<arguments> <= Signature::max_params,
                  "more parameters than the binder's slots");
    return guarded([&]() -> object {
        static const Signature sig =
            signature_of(std::string(Class::name) + "." + row.name + "()", row.args);
        PyObject* bound[Signature::max_params];
        sig.bind(args, nargs, kwnames, bound);
        return Class::template with_receiver<typename traits::receiver>(self, [&](auto&& receiver) {
            return std::apply(
                [&](auto&&... values) { return row.body(receiver, std::move(values)...); },
                [&]<class... Ts>(std::tuple<Ts...>*) {
                    return convert_all<Ts...>(row.args, bound);
                }(static_cast<arguments*>(nullptr)));
        });
    });
}

}  // namespace detail

/// The PyMethodDef rows of a tuple of method rows, in order and without the
/// terminating sentinel; made once, and kept for the process.
template <class Class, const auto& Rows>
std::span<const PyMethodDef> method_defs() {
    constexpr std::size_t n = std::tuple_size_v<std::decay_t<decltype(Rows)>>;
    static const auto table = []<std::size_t... I>(std::index_sequence<I...>) {
        static const std::array<std::string, n> docs{detail::docstring(
            std::get<I>(Rows).name, "$self", std::get<I>(Rows).args, std::get<I>(Rows).doc,
            std::get<I>(Rows).doc_name)...};
        return std::array<PyMethodDef, n>{PyMethodDef{
            std::get<I>(Rows).name, as_method_pointer(&detail::fastcall<Class, Rows, I>),
            METH_FASTCALL | METH_KEYWORDS, docs[I].c_str()}...};
    }(std::make_index_sequence<n>{});
    return table;
}

}  // namespace velmora::python
