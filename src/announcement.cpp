#include "announcement.h"

#include <locale.h>
#include <stdlib.h>

#include <array>
#include <cstddef>

#include "text_format.h"

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

std::string format_announcement(const NodeConfig& config) {
  std::string payload(ANNOUNCEMENT_MAGIC);
  payload.append("|").append(config.room).append("|").append(config.host);
  payload.append("|").append(format_fixed(config.ram, 2)).append("|");
  payload.append(std::to_string(config.node_count));
  return payload;
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

// The datagram and the room differ in meaning, not in type.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::optional<HeardAnnouncement> read_announcement(std::string_view text,
                                                   std::string_view room) {
  // At most five pieces: the fifth keeps any further '|'.
  std::array<std::string_view, 5> pieces;
  std::size_t count = 0;
  while (count < pieces.size() - 1) {
    const std::size_t bar = text.find('|');
    if (bar == std::string_view::npos) break;
    pieces[count++] = text.substr(0, bar);
    text.remove_prefix(bar + 1);
  }
  pieces[count++] = text;
  if (count < 4) return std::nullopt;
  if (pieces[0] != ANNOUNCEMENT_MAGIC || pieces[1] != room) return std::nullopt;
  return HeardAnnouncement{pieces[2], parse_ram(pieces[3])};
}

Recorded parse_announcement(std::string_view text, const IpAddress& sender,
                            std::string_view room, PeerTable& table) {
  const auto heard = read_announcement(text, room);
  if (!heard) return Recorded::kIgnored;
  return table.record_peer(sender, heard->host, heard->ram);
}
