// The announcement datagram: writing it (broadcaster thread, once at start)
// and reading it (listener thread). parse_announcement takes the table lock
// only inside record_peer; everything else takes no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "node_config.h"
#include "peer_table.h"

inline constexpr std::string_view ANNOUNCEMENT_MAGIC = "MORUN-MESH";

// "MORUN-MESH|room|host|ram|node_count", ram with two decimals. Nothing is
// escaped: a '|' in the room or host is written as it is.
std::string format_announcement(const NodeConfig& config);

// The fields of an announcement that a receiver keeps; host views the text.
struct HeardAnnouncement {
  std::string_view host;
  float ram = 0.0f;
};

// Splits `text` (already valid UTF-8) into its fields and returns the host
// and ram when the magic and `room` match; nullopt for anything else. (Two
// string views: the datagram first, the receiver's room second.)
std::optional<HeardAnnouncement> read_announcement(std::string_view text,
                                                   std::string_view room);

// Reads one datagram's text (already valid UTF-8) from `sender`. Announcements
// with the right magic and `room` are recorded with one record_peer call;
// anything else is ignored without a trace (kIgnored). Takes the lock only
// inside record_peer.
Recorded parse_announcement(std::string_view text, const IpAddress& sender,
                            std::string_view room, PeerTable& table);
