// The ram figure against a second conversion that shares no code with it:
// the node's grammar check and glibc's strtof on one side, a grammar written
// again here and std::from_chars on the other. Same bits, or both 0.0.

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text_format.h"

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// The accepted language, written as a small state machine.
bool accepted(std::string_view text) {
  std::string body;
  for (char c : text) body += lower(c);
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.erase(0, 1);
  if (body == "inf" || body == "infinity" || body == "nan") return true;
  enum { kStart, kInt, kDot, kFrac, kExp, kExpSign, kExpDigits } state = kStart;
  bool digit_seen = false;
  for (char c : body) {
    const bool digit = c >= '0' && c <= '9';
    switch (state) {
      case kStart:
      case kInt:
        if (digit)
          state = kInt, digit_seen = true;
        else if (c == '.')
          state = kDot;
        else if (c == 'e' && state == kInt)
          state = kExp;
        else
          return false;
        break;
      case kDot:
      case kFrac:
        if (digit)
          state = kFrac, digit_seen = true;
        else if (c == 'e' && digit_seen)
          state = kExp;
        else
          return false;
        break;
      case kExp:
        if (c == '+' || c == '-')
          state = kExpSign;
        else if (digit)
          state = kExpDigits;
        else
          return false;
        break;
      case kExpSign:
      case kExpDigits:
        if (digit)
          state = kExpDigits;
        else
          return false;
        break;
    }
  }
  return digit_seen && state != kExp && state != kExpSign;
}

// The decimal exponent of the first significant digit, to tell an overflow
// from an underflow when from_chars reports the value out of range. Long
// exponents are clamped: only their sign and size matter.
long long magnitude(std::string_view text) {
  const std::string_view mantissa = text.substr(0, text.find_first_of("eE"));
  const std::size_t point = mantissa.find('.');
  const long long integer_digits = static_cast<long long>(
      point == std::string_view::npos ? mantissa.size() : point);
  long long first = 0;
  for (std::size_t i = 0; i < mantissa.size(); ++i) {
    if (mantissa[i] == '.' || mantissa[i] == '0') continue;
    first = (point == std::string_view::npos || i < point)
                ? integer_digits - 1 - static_cast<long long>(i)
                : -static_cast<long long>(i - point);
    break;
  }
  long long exponent = 0;
  std::size_t i = mantissa.size();
  if (i < text.size()) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
      negative = text[i++] == '-';
    for (; i < text.size(); ++i)
      exponent = std::min<long long>(exponent * 10 + (text[i] - '0'), 1 << 30);
    if (negative) exponent = -exponent;
  }
  return first + exponent;
}

float oracle(std::string_view text) {
  if (!accepted(text)) return 0.0f;
  bool negative = false;
  std::string_view body = text;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  float value = 0.0f;
  const auto result =
      std::from_chars(body.data(), body.data() + body.size(), value);
  if (result.ptr != body.data() + body.size()) std::abort();
  if (result.ec == std::errc::result_out_of_range) {
    value = magnitude(body) > 0 ? INFINITY : 0.0f;
  }
  return negative ? -value : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const float expected = oracle(text);
  const float actual = parse_ram(text);
  if (std::isnan(expected) && std::isnan(actual)) return 0;
  if (std::bit_cast<std::uint32_t>(expected) !=
      std::bit_cast<std::uint32_t>(actual)) {
    std::abort();
  }
  return 0;
}
