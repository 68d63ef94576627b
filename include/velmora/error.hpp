#pragma once
// The core's errors, and how the core reports each kind of outcome:
//
// - A result that a correct call may lack is part of the return value:
//   std::optional<T> where its absence needs no reason (a point that
//   projects outside the path, an empty sub-path), std::variant<T, Reason>
//   where the caller may act on the reason (qp::SolverError: infeasible,
//   not solved, data the solver refused). Neither is ever thrown.
// - A call that breaks a documented precondition (a column of the wrong
//   length, an index past the end, a range that runs backwards) throws a
//   subclass of velmora::Error, as does a broken internal expectation. Error
//   carries the exact message and the place where it was raised; the
//   subclasses tell the kinds apart without parsing text.
// - Allocation failures are not wrapped: they stay std::bad_alloc, which is
//   also thrown, before allocating, for a result larger than the memory the
//   process may use.

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>

namespace velmora {

/// Base of every error the core raises.
class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message,
                   std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

/// An index or range outside a container: "index out of bounds: ...", a slice
/// whose start lies past its end, a range end past the length.
class IndexError : public Error {
public:
    using Error::Error;
};

/// A result that had to exist was absent ("called `Option::unwrap()` on a
/// `None` value").
class MissingResultError : public Error {
public:
    using Error::Error;
};

/// A C++ caller broke a documented precondition of a public function (a
/// column of the wrong length, parts of different sizes, ...).
class InvalidArgumentError : public Error {
public:
    using Error::Error;
};

/// The solver refused the problem it was given (for example Clarabel's
/// dimension checks); `code` is the shim's status code.
class SolverFailure : public Error {
public:
    SolverFailure(const std::string& message, int code,
                  std::source_location where = std::source_location::current())
        : Error(message, where), code_(code) {}

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
