#pragma once
// Text of a double in the path's text form: the shortest decimal that reads
// back to the same value, always with a fractional digit ("1.0", "-0.0"),
// exponent form for nonzero magnitudes below 1e-4 or from 1e16 on ("1e-5",
// "2.5e16"), and "NaN", "inf", "-inf".

#include <string>

namespace velmora::python {

void append_double(std::string& out, double value);

}  // namespace velmora::python
