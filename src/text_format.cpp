#include "text_format.h"

#include <array>
#include <charconv>
#include <cmath>

std::string format_fixed(float value, int decimals) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // The largest float written out in full is 39 digits; decimals are few.
  std::array<char, 64 + 64> buffer;
  const auto result = std::to_chars(
      buffer.data(), buffer.data() + buffer.size(), static_cast<double>(value),
      std::chars_format::fixed, decimals);
  return std::string(buffer.data(), result.ptr);
}
