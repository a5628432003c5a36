// How numbers are written in the kernels' messages.
#pragma once

#include <string>

namespace kernels {

// The shortest decimal that reads back to the same double, never with an exponent: "NaN" whatever
// the sign bit, "inf", "-inf", and "-0" for negative zero.
std::string number_text(double value);

// Fixed notation with exactly `decimals` digits, rounded from the exact value to the nearest, ties
// to even; infinities as "inf" / "-inf" without decimals, NaN as "NaN".
std::string fixed_text(double value, int decimals);

}  // namespace kernels
