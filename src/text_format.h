// Fixed-notation float writing, shared by the start line, the announcement
// and the status document. Pure functions: any thread, no lock.
#pragma once

#include <string>

// `value` in fixed notation with exactly `decimals` digits after the point,
// rounded from the float's exact value with exact ties going to the even
// digit. Never an exponent and never dependent on the locale: -0.0 keeps its
// sign, NaN is "NaN" whatever its sign bit, infinities are "inf" and "-inf".
std::string format_fixed(float value, int decimals);
