// UTF-8 validation and lossy decoding against a second decoder written here
// as a byte-at-a-time state machine with boundary bytes, plus invariants:
// the lossy output is always valid and valid input comes back unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "utf8.h"

namespace {

struct Decoded {
  bool valid = true;
  std::string lossy;
};

void append_code_point(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

Decoded reference_decode(std::string_view bytes) {
  constexpr std::uint32_t kReplacement = 0xFFFD;
  Decoded result;
  std::uint32_t code_point = 0;
  int needed = 0;
  int seen = 0;
  std::uint8_t lower = 0x80;
  std::uint8_t upper = 0xBF;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto byte = static_cast<std::uint8_t>(bytes[i]);
    if (needed == 0) {
      ++i;
      if (byte <= 0x7F) {
        append_code_point(result.lossy, byte);
      } else if (byte >= 0xC2 && byte <= 0xDF) {
        needed = 1;
        code_point = byte & 0x1F;
      } else if (byte >= 0xE0 && byte <= 0xEF) {
        if (byte == 0xE0) lower = 0xA0;
        if (byte == 0xED) upper = 0x9F;
        needed = 2;
        code_point = byte & 0xF;
      } else if (byte >= 0xF0 && byte <= 0xF4) {
        if (byte == 0xF0) lower = 0x90;
        if (byte == 0xF4) upper = 0x8F;
        needed = 3;
        code_point = byte & 0x7;
      } else {
        result.valid = false;
        append_code_point(result.lossy, kReplacement);
      }
      continue;
    }
    if (byte < lower || byte > upper) {
      // The byte is not consumed: it may start the next sequence.
      code_point = needed = seen = 0;
      lower = 0x80;
      upper = 0xBF;
      result.valid = false;
      append_code_point(result.lossy, kReplacement);
      continue;
    }
    ++i;
    lower = 0x80;
    upper = 0xBF;
    code_point = (code_point << 6) | (byte & 0x3F);
    if (++seen == needed) {
      append_code_point(result.lossy, code_point);
      code_point = needed = seen = 0;
    }
  }
  if (needed != 0) {
    result.valid = false;
    append_code_point(result.lossy, kReplacement);
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Decoded expected = reference_decode(bytes);
  if (is_valid_utf8(bytes) != expected.valid) std::abort();
  const std::string lossy = decode_utf8_lossy(bytes);
  if (lossy != expected.lossy) std::abort();
  if (!is_valid_utf8(lossy)) std::abort();
  if (expected.valid && lossy != bytes) std::abort();
  const std::string_view trimmed = trim_white_space(lossy);
  if (!is_valid_utf8(trimmed)) std::abort();
  if (lossy.find(trimmed) == std::string::npos) std::abort();
  return 0;
}
