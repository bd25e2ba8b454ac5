// The loopback status endpoint, on a thread of its own started by main: one
// connection at a time, one JSON document per GET. The response is built
// under the table lock (taken by the table's read) and written after it is
// released, so a slow client never holds up the other threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "node_config.h"
#include "peer_table.h"

inline constexpr std::uint16_t STATUS_PORT = 47833;
// The most a request read takes; a request is one read of at most this many
// bytes, and only its first three ("GET") are looked at.
inline constexpr std::size_t REQUEST_READ_SIZE = 64;
// A client gets this long to send its request, and again to take the whole
// response.
inline constexpr std::chrono::milliseconds CONNECTION_TIME_LIMIT{5000};

// Serves 127.0.0.1:47833 forever. Returns only when the listening socket
// cannot be opened, after printing "[pim-node] status server error: …".
void status_server(const NodeConfig& config,
                   const std::shared_ptr<PeerTable>& table);

// Reads one request from the accepted connection `fd` (waiting at most
// `time_limit`), answers it if it begins with "GET", and closes `fd`.
void serve_connection(int fd, std::string_view host, PeerTable& table,
                      float ram, std::chrono::milliseconds time_limit);

// Writes the status response for one request that passed the GET check,
// within `time_limit` in all. Does not close `fd`.
void handle_status(int fd, std::string_view host, PeerTable& table, float ram,
                   std::chrono::milliseconds time_limit);

// The whole HTTP response: headers and the JSON document listing this node,
// its peers in the table's order and the total ram. Takes the lock itself.
std::string status_response(std::string_view host, PeerTable& table, float ram);
