#pragma once
// The one exception type of the core: a broken internal expectation (an index
// out of range, a missing intermediate result). It carries the exact message
// that callers see and the place where it was raised, for diagnostics.
// Allocation failures are not wrapped: they stay std::bad_alloc.

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>

namespace velmora {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message,
                           std::source_location where = std::source_location::current())
        : std::runtime_error(message), where_(where) {}

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
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
