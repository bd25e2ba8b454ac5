#include "announcement.h"

#include <array>
#include <cstddef>

#include "text_format.h"

std::string format_announcement(const NodeConfig& config) {
  std::string payload(ANNOUNCEMENT_MAGIC);
  payload.append("|").append(config.room).append("|").append(config.host);
  payload.append("|").append(format_fixed(config.ram, 2)).append("|");
  payload.append(std::to_string(config.node_count));
  return payload;
}

// The datagram and the room differ in meaning, not in type.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::optional<HeardAnnouncement> parse_announcement(std::string_view text,
                                                    std::string_view room,
                                                    IgnoredReason* ignored) {
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
  const auto ignore = [ignored](IgnoredReason reason) {
    if (ignored != nullptr) *ignored = reason;
    return std::nullopt;
  };
  if (count < 4 || pieces[0] != ANNOUNCEMENT_MAGIC) {
    return ignore(IgnoredReason::kNotAnnouncement);
  }
  if (pieces[1] != room) return ignore(IgnoredReason::kOtherRoom);
  return HeardAnnouncement{pieces[2], parse_ram(pieces[3])};
}
