#include "text_format.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = (text[i] >= 'A' && text[i] <= 'Z')
                       ? static_cast<char>(text[i] - 'A' + 'a')
                       : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

// Whether `text` is a whole ram figure. The converter below accepts more
// (hex, leading spaces, "nan(...)"), so nothing reaches it unchecked.
bool matches_ram_grammar(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::string_view body = text.substr(i);
  if (equals_ignoring_case(body, "inf") ||
      equals_ignoring_case(body, "infinity") ||
      equals_ignoring_case(body, "nan")) {
    return true;
  }
  std::size_t digits = 0;
  while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < text.size() && is_digit(text[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == text.size();
}

// glibc's conversion is correctly rounded from the exact decimal value, keeps
// the sign on overflow and underflow and saturates long exponents; the "C"
// locale keeps '.' the decimal point whatever the process's locale.
locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
  return locale;
}

}  // namespace

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

float parse_ram(std::string_view text) { return read_ram(text).value_or(0.0f); }

std::optional<float> read_ram(std::string_view text) {
  if (!matches_ram_grammar(text)) return std::nullopt;
  const std::string terminated(text);
  const locale_t locale = c_locale();
  if (locale == static_cast<locale_t>(nullptr)) {
    return strtof(terminated.c_str(), nullptr);
  }
  return strtof_l(terminated.c_str(), nullptr, locale);
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
