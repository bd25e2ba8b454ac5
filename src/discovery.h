// The two discovery workers, each on a thread of its own started by main:
// broadcast_loop announces this node every 3 s and expires the table;
// listen_loop hears other nodes and records them in the table. Both reach
// the table only through its own operations, which take the lock, and
// neither holds it while doing I/O. main starts them through std::thread,
// which keeps each worker's own copy of the settings for the thread's life.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "announcement.h"
#include "metrics.h"
#include "node_config.h"
#include "peer_log.h"
#include "peer_table.h"
#include "room_key.h"
#include "room_key_log.h"

inline constexpr std::uint16_t DISCOVERY_PORT = 47832;
inline constexpr std::chrono::seconds BROADCAST_PERIOD{3};
inline constexpr std::chrono::seconds RECEIVE_TIMEOUT{5};
// Datagrams taken from the socket in one receive call, each into a buffer of
// its own, so a burst costs one system call per batch instead of one each.
inline constexpr std::size_t RECEIVE_BATCH = 32;
// The listener's socket asks for this much receive buffer. The system
// doubles it and charges a small datagram about 830 bytes, so it holds some
// 2,500 of them, 17 ms of a flood of 150,000 a second; the default holds
// under 2 ms of it.
inline constexpr int RECEIVE_BUFFER_BYTES = 1 << 20;
// A receive error other than the timeout is followed by this pause, so that
// an error that persists cannot turn the listener into a busy loop.
inline constexpr std::chrono::milliseconds RECEIVE_FAILURE_PAUSE{100};

// The real-time clock in whole ms since 1970: the time stamp that signed
// announcements carry, and what a receiver holds them against.
std::int64_t real_time_ms();

// Sends the announcement to 255.255.255.255:47832, prunes the table, sleeps
// 3 s, forever; counts each send and what each prune removed. With `keys`
// (empty without a room key) each announcement is signed afresh with the
// first key, for the source address that the system picks for the broadcast
// at that moment. Says so once when sends start failing ("[pim-node]
// broadcast send error: …"), and again only after a send has succeeded in
// between. Returns only when its socket cannot be opened, after printing
// "[pim-node] broadcast bind error: …". `log` is null without --log-peers.
void broadcast_loop(const NodeConfig& config, const RoomKeys& keys,
                    const std::shared_ptr<PeerTable>& table,
                    const std::shared_ptr<PeerLog>& log,
                    const std::shared_ptr<NodeCounters>& counters);

// Receives datagrams on 0.0.0.0:47832 and records the announcements, forever;
// with `keys` (empty without a room key) only the signed ones that are in
// time. The socket gets the room filter before it is bound; a refusal is
// said in one line and the listener goes on unfiltered. Returns only when
// its socket cannot be opened, after printing "[pim-node] listen bind error:
// …". `log` is null without --log-peers.
void listen_loop(const NodeConfig& config, const RoomKeys& keys,
                 const std::shared_ptr<PeerTable>& table,
                 const std::shared_ptr<PeerLog>& log,
                 const std::shared_ptr<NodeCounters>& counters);

// The listener's loop over an open socket `fd`, forever: batches of
// datagrams, each cut to DATAGRAM_BUFFER_SIZE bytes and read in arrival
// order with the interface it arrived on (IP_PKTINFO, set on `fd` here),
// read by read_datagram, or read_signed_datagram with `keys`; each batch's
// announcements recorded with one record_peer call and then reported
// through report_recorded; with `keys`, what the key made it ignore through
// a RoomKeyLog. Each batch is counted in `counters` once it is recorded: the
// datagrams read, why each ignored one changed nothing, and what the table
// did with each announcement.
[[noreturn]] void receive_datagrams(int fd, std::string_view room,
                                    const RoomKeys& keys, PeerTable& table,
                                    PeerLog* log, NodeCounters& counters);

// One received datagram, exactly the bytes the receive reported: nothing
// unless it is valid UTF-8 and an announcement for `room` (by
// parse_announcement). The listener reads each datagram of a batch so. With
// nothing, `ignored` (when given) is set to why: kNotUtf8, or the reason
// parse_announcement gave.
std::optional<HeardAnnouncement> read_datagram(
    std::string_view bytes, std::string_view room,
    IgnoredReason* ignored = nullptr);

// One received datagram at a node with a room key, as the listener reads
// it: the tag first (check_tag, which refuses an unsigned datagram on its
// form alone, before any other work), then the text before the tag by
// read_datagram. `now_ms` is the receiver's real-time clock.
struct SignedDatagram {
  TagCheck check = TagCheck::kUnsigned;
  // kAccepted, and the text before the tag is an announcement for the room.
  std::optional<HeardAnnouncement> announcement;
  // kAccepted without an announcement: why the text before the tag is none.
  IgnoredReason ignored = IgnoredReason::kNotAnnouncement;
  std::int64_t ts = 0;  // kAccepted: the sender's clock, ms since 1970
  bool fresh = false;   // kAccepted: ts within TAG_CLOCK_WINDOW_MS of now_ms
};
SignedDatagram read_signed_datagram(std::string_view bytes,
                                    const in_addr& source,
                                    std::string_view room, const RoomKeys& keys,
                                    std::int64_t now_ms);
