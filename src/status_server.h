// The loopback status endpoint, on a thread of its own started by main: one
// thread serving many connections at once, one status document per GET (or,
// with --metrics, the metrics for a GET of /metrics). The document is built
// under the table lock (taken by the table's read_changed) once for every
// change of the table, and written after the lock is
// released, so a slow client never holds up any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "metrics.h"
#include "node_config.h"
#include "peer_table.h"

inline constexpr std::uint16_t STATUS_PORT = 47833;
// The most a request read takes; a request is one read of at most this many
// bytes, and only its first three ("GET") are looked at, and with --metrics
// whether it asks for /metrics.
inline constexpr std::size_t REQUEST_READ_SIZE = 64;
// A client gets this long from its connection being accepted to send its
// request, and again from its request being read to take the whole response.
inline constexpr std::chrono::milliseconds CONNECTION_TIME_LIMIT{5000};
// The most connections held at once, far below the 1024 descriptors the
// process may have open, so that accept never fails for want of descriptors.
// A new connection beyond it takes the place of the one that has waited
// longest without sending its request, once that one has had its
// ADMISSION_GRACE; until then, and while every connection held has sent its
// request, new connections wait in the backlog.
inline constexpr std::size_t MAX_STATUS_CONNECTIONS = 256;
// How long a connection is held, whatever else arrives, for its request to
// come. It is 0: with 1,000 connections that never send and reconnect the
// moment they are closed, any grace of some milliseconds keeps the listening
// socket unpolled while every held connection is young, the 128-entry
// backlog overflows, and a prompt client's SYN is dropped and retried after
// 1 s and 3 s (measured with a 30 ms grace: p99 3 s, and 4 of 300 requests
// unanswered, where without it p99 was 6 ms). A grace only helps once the
// bound holds more connections than such clients can open.
inline constexpr std::chrono::milliseconds ADMISSION_GRACE{0};
// Responses being written and the one kept for later requests hold at most
// about this many bytes between them (a buffer shared by several connections
// counts once): a GET read while they hold more waits, its time running,
// until a write ends. A full table's document is about 4.5 MB, a real mesh's
// a few kilobytes; without the bound, clients that change the table and
// never read could hold 256 documents.
inline constexpr std::size_t RESPONSE_MEMORY_BUDGET = std::size_t{16} << 20;

// Serves 127.0.0.1:47833 forever. Returns only when the listening socket
// cannot be opened, after printing "[pim-node] status server error: …".
void status_server(const NodeConfig& config,
                   const std::shared_ptr<PeerTable>& table,
                   const std::shared_ptr<NodeCounters>& counters);

// Serves the connections of `listen_fd`, a non-blocking socket, forever: each
// gets `time_limit` to send its request and again to take its response, which
// is cut with a reset when the time runs out. An accept error other than
// ECONNABORTED or EAGAIN leaves the socket alone for a short pause, so that a
// lasting error does not spin. How each connection ends is counted in
// `counters`: answered once its whole response is written, not_get, timed_out
// before that, or dropped to make room. `config`, `table` and `counters` must
// outlive the call.
[[noreturn]] void serve_status(
    int listen_fd, const NodeConfig& config, PeerTable& table,
    NodeCounters& counters,
    std::chrono::milliseconds time_limit = CONNECTION_TIME_LIMIT);
