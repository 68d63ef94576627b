#include "velmora/error.hpp"

#include <string>

namespace velmora {

void throw_index_out_of_bounds(std::size_t len, std::size_t index, std::source_location where) {
    throw IndexError("index out of bounds: the len is " + std::to_string(len) +
                         " but the index is " + std::to_string(index),
                     where);
}

void throw_unwrap_none(std::source_location where) {
    throw MissingResultError("called `Option::unwrap()` on a `None` value", where);
}

}  // namespace velmora
