// The announcement datagram: writing it (broadcaster thread, once at start)
// and reading it (listener thread, for every datagram that is valid text).
// Pure functions: they take no lock.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "metrics.h"
#include "node_config.h"

inline constexpr std::string_view ANNOUNCEMENT_MAGIC = "MORUN-MESH";
// Receivers look only at this many bytes of a datagram.
inline constexpr std::size_t DATAGRAM_BUFFER_SIZE = 256;

// "MORUN-MESH|room|host|ram|node_count", ram with two decimals. Nothing is
// escaped: a '|' in the room or host is written as it is.
std::string format_announcement(const NodeConfig& config);

// The fields of an announcement that a receiver keeps; host views the text.
struct HeardAnnouncement {
  std::string_view host;
  float ram = 0.0f;
};

// Splits `text` (already valid UTF-8) into at most five '|'-separated pieces
// and returns the host (the third) and the ram figure (the fourth, read by
// parse_ram) when there are at least four, the first is the magic and the
// second is `room`; nullopt for anything else. The fifth piece is never
// looked at. (Two string views: the datagram first, the receiver's room
// second.) With nullopt, `ignored` (when given) is set to why: fewer than
// four pieces or another magic is kNotAnnouncement, the magic with another
// room kOtherRoom.
std::optional<HeardAnnouncement> parse_announcement(
    std::string_view text, std::string_view room,
    IgnoredReason* ignored = nullptr);
