// The announcement datagram: writing it (broadcaster thread, once at start)
// and reading it (listener thread). parse_announcement takes the table lock
// only inside record_peer; everything else takes no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "peer_table.h"

inline constexpr std::string_view ANNOUNCEMENT_MAGIC = "MORUN-MESH";

// "MORUN-MESH|room|host|ram|node_count", ram with two decimals. Nothing is
// escaped: a '|' in the room or host is written as it is.
std::string format_announcement(std::string_view room, std::string_view host,
                                float ram, std::uint32_t node_count);

// The announced ram figure: an optional sign, then a decimal number with an
// optional exponent, or inf / infinity / nan in any letter case, matching the
// whole text. The value is the nearest float to the exact decimal value, ties
// to even, saturating to a signed infinity or zero. Anything else gives 0.0.
float parse_ram(std::string_view text);

// Reads one datagram's text (already valid UTF-8) from `sender`. Announcements
// with the right magic and `room` are recorded with one record_peer call;
// anything else is ignored without a trace. Never call with the lock held.
void parse_announcement(std::string_view text, const IpAddress& sender,
                        std::string_view room, PeerTable& table)
    EXCLUDES(table.mutex);
