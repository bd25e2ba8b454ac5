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
#include "node_config.h"
#include "peer_log.h"
#include "peer_table.h"

inline constexpr std::uint16_t DISCOVERY_PORT = 47832;
inline constexpr std::chrono::seconds BROADCAST_PERIOD{3};
inline constexpr std::chrono::seconds RECEIVE_TIMEOUT{5};
// Only this many bytes of a datagram are ever looked at.
inline constexpr std::size_t DATAGRAM_BUFFER_SIZE = 256;
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

// Sends the announcement to 255.255.255.255:47832, prunes the table, sleeps
// 3 s, forever. Says so once when sends start failing ("[pim-node] broadcast
// send error: …"), and again only after a send has succeeded in between.
// Returns only when its socket cannot be opened, after printing
// "[pim-node] broadcast bind error: …". `log` is null without --log-peers.
void broadcast_loop(const NodeConfig& config,
                    const std::shared_ptr<PeerTable>& table,
                    const std::shared_ptr<PeerLog>& log);

// Receives datagrams on 0.0.0.0:47832 and records the announcements, forever.
// Returns only when its socket cannot be opened, after printing
// "[pim-node] listen bind error: …". `log` is null without --log-peers.
void listen_loop(const NodeConfig& config,
                 const std::shared_ptr<PeerTable>& table,
                 const std::shared_ptr<PeerLog>& log);

// The listener's loop over an open socket `fd`, forever: batches of
// datagrams, each cut to DATAGRAM_BUFFER_SIZE bytes and read in arrival
// order with the interface it arrived on (IP_PKTINFO, set on `fd` here),
// each batch's announcements recorded with one record_peer call and then
// reported through report_recorded.
[[noreturn]] void receive_datagrams(int fd, std::string_view room,
                                    PeerTable& table, PeerLog* log);

// One received datagram, exactly the bytes the receive reported: nothing
// unless it is valid UTF-8 and an announcement for `room` (by
// parse_announcement). The listener reads each datagram of a batch so.
std::optional<HeardAnnouncement> read_datagram(std::string_view bytes,
                                               std::string_view room);
