// The two discovery workers, each on a thread of its own started by main:
// broadcast_loop announces this node every 3 s and expires the table (taking
// the lock for each prune only); listen_loop hears other nodes and records
// them through record_peer. Neither holds the lock while doing I/O. main
// starts them through std::thread, which keeps each worker's own copies of
// its arguments for the thread's whole life.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "peer_table.h"

inline constexpr std::uint16_t DISCOVERY_PORT = 47832;
inline constexpr std::chrono::seconds BROADCAST_PERIOD{3};
inline constexpr std::chrono::seconds RECEIVE_TIMEOUT{5};
// Only this many bytes of a datagram are ever looked at.
inline constexpr std::size_t DATAGRAM_BUFFER_SIZE = 256;

// Sends the announcement to 255.255.255.255:47832, prunes the table, sleeps
// 3 s, forever. Returns only when its socket cannot be opened, after printing
// "[pim-node] broadcast bind error: …".
void broadcast_loop(const std::string& room, const std::string& host,
                    std::uint32_t node_count,
                    const std::shared_ptr<PeerTable>& table, float ram);

// Receives datagrams on 0.0.0.0:47832 and hands each to handle_datagram,
// forever. Returns only when its socket cannot be opened, after printing
// "[pim-node] listen bind error: …".
void listen_loop(const std::string& room,
                 const std::shared_ptr<PeerTable>& table);

// One received datagram, exactly the bytes the receive reported: dropped
// unless it is valid UTF-8, otherwise read as an announcement from `sender`.
// Never call with the lock held.
void handle_datagram(std::string_view bytes, const IpAddress& sender,
                     std::string_view room, PeerTable& table)
    EXCLUDES(table.mutex);
