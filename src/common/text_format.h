// Number formatting shared by the conversion report and the monitor's exports.
#pragma once

#include <string>

namespace varn {

// Fixed-point text with `decimals` digits after the point, rounded to nearest
// from the exact binary value with ties to even; "inf", "-inf" and "NaN" for
// the non-finite values.
std::string format_fixed(double value, int decimals);

// Appends format_fixed(value, decimals) to out.
void append_fixed(std::string& out, double value, int decimals);

}  // namespace varn
