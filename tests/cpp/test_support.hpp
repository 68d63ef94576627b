#pragma once
// Helpers shared by the core's tests.

#include <bit>
#include <cstdint>
#include <limits>
#include <string>

#include "velmora/error.hpp"

namespace velmora::testing {

inline constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
inline constexpr double inf_value = std::numeric_limits<double>::infinity();

/// The bit pattern of a double: compares results exactly, -0.0 and NaN included.
inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

/// The message of the velmora::Error that call raises, or "<no velmora::Error>".
template <class Call>
std::string internal_error(Call&& call) {
    try {
        call();
    } catch (const Error& e) {
        return e.what();
    }
    return "<no velmora::Error>";
}

}  // namespace velmora::testing
