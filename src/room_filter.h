// The listener's room filter: a classic BPF socket filter that has the
// kernel drop, before they are queued, the datagrams that cannot be an
// announcement of the node's room. The listener thread attaches it once,
// when it opens its socket; no lock.
#pragma once

#include <linux/filter.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The program for `room`: it keeps a datagram whose payload begins with
// "MORUN-MESH|<room>|" and drops every other. A room containing '|' can
// never be read back from an announcement, and neither can a room whose
// prefix takes 256 bytes or more (the listener reads 256, and an
// announcement needs a '|' after the room's); for such a room it keeps
// nothing. At most 132 instructions.
std::vector<sock_filter> room_filter_program(std::string_view room);

// Attaches room_filter_program(room) to the UDP socket `fd`. Returns 0, or
// the errno with which the kernel refused it; the socket is then left as it
// was, unfiltered.
int attach_room_filter(int fd, std::string_view room);

// The start-up line for a refusal with `error`, without the "[pim-node] "
// prefix: "room filter not attached: <error text>; datagrams of other rooms
// reach the listener".
std::string room_filter_refused_line(int error);
