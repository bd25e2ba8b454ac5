#include "utf8.h"

#include <cstddef>
#include <cstdint>

namespace {

struct Sequence {
  bool valid;
  std::size_t length;  // a whole character, or the maximal invalid subpart
};

// The sequence starting at text[pos]. Second-byte ranges follow the table of
// well-formed sequences, which rules out overlongs, surrogates and values
// above U+10FFFF.
Sequence next_sequence(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) {
    return static_cast<std::uint8_t>(text[i]);
  };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) return {true, 1};
  std::size_t needed;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {false, 1};
  }
  std::size_t length = 1;
  for (std::size_t i = 0; i < needed; ++i) {
    if (pos + length >= text.size()) return {false, length};
    const std::uint8_t next = byte(pos + length);
    if (next < low || next > high) return {false, length};
    low = 0x80;
    high = 0xBF;
    ++length;
  }
  return {true, length};
}

char32_t decode(std::string_view sequence) {
  const auto byte = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<std::uint8_t>(sequence[i]));
  };
  switch (sequence.size()) {
    case 1:
      return byte(0);
    case 2:
      return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3:
      return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 |
             (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
  }
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const Sequence sequence = next_sequence(text, pos);
    if (!sequence.valid) return false;
    pos += sequence.length;
  }
  return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string result;
  result.reserve(bytes.size());
  for (std::size_t pos = 0; pos < bytes.size();) {
    const Sequence sequence = next_sequence(bytes, pos);
    if (sequence.valid) {
      result.append(bytes.substr(pos, sequence.length));
    } else {
      result.append("\xEF\xBF\xBD");
    }
    pos += sequence.length;
  }
  return result;
}

std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const Sequence first = next_sequence(text, 0);
    if (!first.valid || !is_white_space(decode(text.substr(0, first.length))))
      break;
    text.remove_prefix(first.length);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80)
      --start;
    const std::string_view last = text.substr(start);
    const Sequence sequence = next_sequence(last, 0);
    if (!sequence.valid || sequence.length != last.size() ||
        !is_white_space(decode(last)))
      break;
    text.remove_suffix(last.size());
  }
  return text;
}
