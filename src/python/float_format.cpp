#include "float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace velmora::python {

void append_double(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    if (std::signbit(value)) out += '-';
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0) {
        out += "0.0";
        return;
    }
    // Shortest round-trip digits and decimal exponent, from scientific form "d.ddde±x".
    char buf[64];
    const auto result =
        std::to_chars(buf, buf + sizeof buf, magnitude, std::chars_format::scientific);
    const char* e = static_cast<const char*>(std::memchr(buf, 'e', result.ptr - buf));
    std::string digits;
    for (const char* p = buf; p != e; ++p) {
        if (*p != '.') digits += *p;
    }
    int exponent = 0;
    const char* exponent_text = e + 1;
    if (*exponent_text == '+') ++exponent_text;
    std::from_chars(exponent_text, result.ptr, exponent);

    if (magnitude < 1e-4 || magnitude >= 1e16) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += 'e';
        out += std::to_string(exponent);
        return;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
        return;
    }
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
        out += digits;
        out.append(integer_digits - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, integer_digits);
        out += '.';
        out.append(digits, integer_digits, std::string::npos);
    }
}

}  // namespace velmora::python
