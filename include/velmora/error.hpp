#pragma once
// The core's errors. Every one derives from InternalError, which carries the
// exact message callers see and the place where it was raised; the derived
// types let a C++ caller tell the kinds apart without parsing text.
// Allocation failures are not wrapped: they stay std::bad_alloc.

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>

namespace velmora {

/// Base of every error the core raises.
class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message,
                           std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

/// An index or range outside a container: "index out of bounds: ...", a slice
/// whose start lies past its end, a range end past the length.
class IndexError : public InternalError {
public:
    using InternalError::InternalError;
};

/// A result that had to exist was absent ("called `Option::unwrap()` on a
/// `None` value").
class MissingResultError : public InternalError {
public:
    using InternalError::InternalError;
};

/// A C++ caller broke a documented precondition of a public function (a
/// column of the wrong length, parts of different sizes, ...).
class InvalidArgumentError : public InternalError {
public:
    using InternalError::InternalError;
};

/// The solver refused the problem it was given (for example Clarabel's
/// dimension checks); `code` is the shim's status code.
class SolverFailure : public InternalError {
public:
    SolverFailure(const std::string& message, int code,
                  std::source_location where = std::source_location::current())
        : InternalError(message, where), code_(code) {}

    int code() const noexcept { return code_; }

private:
    int code_;
};

/// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void throw_index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current());

/// "called `Option::unwrap()` on a `None` value": a result that had to exist was absent.
[[noreturn]] void throw_unwrap_none(std::source_location where = std::source_location::current());

/// Bounds-checked element access that raises the core's index message.
template <class Container>
decltype(auto) at_checked(Container& c, std::size_t index,
                          std::source_location where = std::source_location::current()) {
    if (index >= c.size()) throw_index_out_of_bounds(c.size(), index, where);
    return c[index];
}

}  // namespace velmora
