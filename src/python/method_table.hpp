#pragma once
// A class's Python members as declarative rows: methods, static methods and
// read-only properties. A tuple of rows gives the class its PyMethodDef and
// PyGetSetDef tables (member_tables below); nothing else names a member.
//
// Reading guide: what one row expands to.
//   Method{"sub_path", params(arg("start", std::nullopt), arg("epsilon", 0.01)),
//          +[](const Path2D& path, std::optional<Point> start, double epsilon) {...},
//          "Returns the sub path ..."}
// becomes one PyMethodDef whose function is method_call<Class, Rows, I>
// (METH_FASTCALL | METH_KEYWORDS) and whose docstring is
//   "sub_path($self, start=None, epsilon=0.01)\n--\n\n"      (the text signature)
//   "sub_path(start=None, epsilon=0.01)\n\nReturns the sub path ..."
// A call then: binds the arguments to the parameter names (binder.hpp, one
// Signature per row, made on first use, which names the method in its
// messages as "Path2D.sub_path()"); takes the receiver with the borrow its
// type asks for (`const Path2D&` shared, `Path2D&` exclusive: Class::
// with_receiver); converts each argument, left to right, to the type of the
// body's parameter in its place (convert_argument; an absent one takes its
// default, NoneDefault gives std::nullopt for absence and None); runs the
// body, whose returned object goes back to the interpreter. A C++ exception
// anywhere on the way becomes a Python one in guarded() (errors.hpp).
// A body whose receiver parameter is `Static` makes a static method: no
// receiver is taken (METH_STATIC, no "$self"). Property{"length",
// +[](const Path2D& path) { return ...; }} becomes a PyGetSetDef whose
// getter takes the shared receiver and runs the lambda.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

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

/// The receiver parameter of a static method's body: there is none.
struct Static {};

/// A method: the body takes the receiver (or Static), then the converted arguments.
template <class Body, class... Args>
struct Method {
    static constexpr bool is_property = false;
    const char* name;
    std::tuple<Args...> args;
    Body body;
    /// The docstring after its first line; null for none (special methods).
    const char* doc = nullptr;
    /// The name the docstring's first line gives, where it is not the method's.
    const char* doc_name = nullptr;
};

/// A read-only property: the getter takes the receiver (a shared borrow).
template <class Getter>
struct Property {
    static constexpr bool is_property = true;
    const char* name;
    Getter get;
    const char* doc = nullptr;
};

// --- conversions chosen by the body's parameter types -----------------------

template <class T>
T convert_argument(handle obj);
template <>
inline double convert_argument<double>(handle obj) {
    return to_double(obj);
}
template <>
inline std::size_t convert_argument<std::size_t>(handle obj) {
    return to_size(obj);
}
template <>
inline Point convert_argument<Point>(handle obj) {
    return to_point(obj);
}
template <>
inline handle convert_argument<handle>(handle obj) {
    return obj;
}
template <>
inline Path2D convert_argument<Path2D>(handle obj) {
    return to_path_from_points(obj);
}
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
inline bool convert_argument<bool>(handle obj) {
    return to_bool(obj);
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
    static constexpr bool is_static = std::is_same_v<Receiver, Static>;
};

inline void append_default(std::string&, const Required&, bool) {}
inline void append_default(std::string& out, const NoneDefault&, bool) { out += "=None"; }
template <class T>
void append_default(std::string& out, const Defaulted<T>& param, bool in_signature) {
    out += '=';
    if constexpr (std::is_same_v<T, bool>) {
        if (param.text == nullptr) return void(out += param.value ? "True" : "False");
    } else if constexpr (std::is_floating_point_v<T>) {
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
    std::apply(
        [&](const auto&... param) {
            (list.push_back({param.name, std::is_same_v<std::decay_t<decltype(param)>, Required>}),
             ...);
        },
        args);
    return Signature(std::move(function), list);
}

/// Converts bound arguments to Ts..., strictly left to right (braced
/// initialisation orders the calls), each absent one taking its default.
template <class... Ts, class... Args>
std::tuple<Ts...> convert_all(const std::tuple<Args...>& args, PyObject* const* bound) {
    static_assert(sizeof...(Ts) == sizeof...(Args), "one parameter row for each argument");
    return [&]<std::size_t... K>(std::index_sequence<K...>) {
        return std::tuple<Ts...>{take<Ts>(std::get<K>(args), bound[K])...};
    }
    (std::index_sequence_for<Args...>{});
}

/// The same, to the types of the std::tuple `Arguments`.
template <class Arguments, class... Args>
Arguments convert_to(const std::tuple<Args...>& args, PyObject* const* bound) {
    return [&]<class... Ts>(std::tuple<Ts...>*) {
        return convert_all<Ts...>(args, bound);
    }(static_cast<Arguments*>(nullptr));
}

/// The binder of row I, naming it "{Class}.{name}()" in messages (a module
/// function, whose Class::name is empty: "{name}()"); made on
/// first use (inside the caller's guarded()), and kept for the process.
template <class Class, const auto& Rows, std::size_t I>
const Signature& row_signature() {
    static constexpr const auto& row = std::get<I>(Rows);
    static_assert(std::tuple_size_v<std::decay_t<decltype(row.args)>> <= Signature::max_params,
                  "more parameters than the binder's slots");
    static const Signature sig = signature_of(
        (*Class::name != '\0' ? std::string(Class::name) + "." : std::string()) + row.name + "()",
        row.args);
    return sig;
}

/// The fast-call entry point of method row I: bind, take the receiver (with
/// its borrow; none for a static method), convert the arguments in parameter
/// order, run the body.
template <class Class, const auto& Rows, std::size_t I>
PyObject* method_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const auto& row = std::get<I>(Rows);
    using traits = body_traits<decltype(row.body)>;
    return guarded([&]() -> object {
        PyObject* bound[Signature::max_params];
        row_signature<Class, Rows, I>().bind(args, nargs, kwnames, bound);
        const auto run = [&](auto&& receiver) {
            return std::apply(
                [&](auto&&... values) { return row.body(receiver, std::move(values)...); },
                convert_to<typename traits::arguments>(row.args, bound));
        };
        if constexpr (traits::is_static) {
            return run(Static{});
        } else {
            return Class::template with_receiver<typename traits::receiver>(self, run);
        }
    });
}

/// The getter of property row I: shared borrow of the receiver, then the row's getter.
template <class Class, const auto& Rows, std::size_t I>
PyObject* property_get(PyObject* self, void*) {
    static constexpr const auto& row = std::get<I>(Rows);
    using receiver = typename body_traits<decltype(row.get)>::receiver;
    return guarded([&] { return Class::template with_receiver<receiver>(self, row.get); });
}

/// The docstring of row I (none for a property).
template <const auto& Rows, std::size_t I>
std::string row_docstring() {
    static constexpr const auto& row = std::get<I>(Rows);
    if constexpr (std::decay_t<decltype(row)>::is_property) {
        return {};
    } else {
        const bool is_static = body_traits<decltype(row.body)>::is_static;
        return docstring(row.name, is_static ? "" : "$self", row.args, row.doc, row.doc_name);
    }
}

template <class Class, const auto& Rows, std::size_t I>
void add_row(std::vector<PyMethodDef>& methods, std::vector<PyGetSetDef>& getset,
             const std::string& doc) {
    static constexpr const auto& row = std::get<I>(Rows);
    if constexpr (std::decay_t<decltype(row)>::is_property) {
        getset.push_back({row.name, &property_get<Class, Rows, I>, nullptr, row.doc, nullptr});
    } else {
        const int flags = body_traits<decltype(row.body)>::is_static ? METH_STATIC : 0;
        methods.push_back({row.name, as_method_pointer(&method_call<Class, Rows, I>),
                           METH_FASTCALL | METH_KEYWORDS | flags, doc.c_str()});
    }
}

}  // namespace detail

/// A class's member tables, each in row order and ending with its sentinel.
struct MemberTables {
    PyMethodDef* methods;
    PyGetSetDef* getset;
};

/// The member tables of a tuple of rows; made once, and kept for the process.
template <class Class, const auto& Rows>
MemberTables member_tables() {
    constexpr std::size_t n = std::tuple_size_v<std::decay_t<decltype(Rows)>>;
    static const MemberTables tables = []<std::size_t... I>(std::index_sequence<I...>) {
        static const std::array<std::string, n> docs{detail::row_docstring<Rows, I>()...};
        static std::vector<PyMethodDef> methods;
        static std::vector<PyGetSetDef> getset;
        (detail::add_row<Class, Rows, I>(methods, getset, docs[I]), ...);
        methods.push_back({nullptr, nullptr, 0, nullptr});
        getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        return MemberTables{methods.data(), getset.data()};
    }
    (std::make_index_sequence<n>{});
    return tables;
}

/// The scope of module functions: their rows' bodies take Static, and
/// messages name them without a class.
struct ModuleScope {
    static constexpr const char* name = "";
};

/// The method table of a module's functions (rows whose body takes Static),
/// ending with its sentinel; made once, and kept for the process. A module
/// function is not METH_STATIC, and its text signature starts with "$module".
template <const auto& Rows>
PyMethodDef* function_table() {
    constexpr std::size_t n = std::tuple_size_v<std::decay_t<decltype(Rows)>>;
    static PyMethodDef* const table = []<std::size_t... I>(std::index_sequence<I...>) {
        static_assert((detail::body_traits<decltype(std::get<I>(Rows).body)>::is_static && ...),
                      "module functions take Static");
        static const std::array<std::string, n> docs{detail::docstring(
            std::get<I>(Rows).name, "$module", std::get<I>(Rows).args, std::get<I>(Rows).doc)...};
        static std::array<PyMethodDef, n + 1> methods{
            PyMethodDef{std::get<I>(Rows).name,
                        as_method_pointer(&detail::method_call<ModuleScope, Rows, I>),
                        METH_FASTCALL | METH_KEYWORDS, docs[I].c_str()}...,
            PyMethodDef{nullptr, nullptr, 0, nullptr}};
        return methods.data();
    }
    (std::make_index_sequence<n>{});
    return table;
}

}  // namespace velmora::python
