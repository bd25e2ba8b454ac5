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

void append_json_escaped(std::string& out, std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  for (const char c : text) {
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out.append("\\u00");
          out.push_back(HEX[(c >> 4) & 0xF]);
          out.push_back(HEX[c & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
}
