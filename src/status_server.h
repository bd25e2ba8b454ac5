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
// The most connections held at once: the descriptors the process may open
// (RLIMIT_NOFILE, whose soft limit main raises toward STATUS_OPEN_FILES) less
// DESCRIPTOR_RESERVE for everything else, so that accept never fails for want
// of descriptors; never more than MAX_STATUS_CONNECTIONS. A new connection
// beyond the bound takes the place of the one that has waited longest
// without sending its request, once that one has had its ADMISSION_GRACE;
// until then, and while every connection held has sent its request, new
// connections wait in the backlog. A local program that keeps more
// connections open than the bound can therefore push a prompt client into a
// full backlog, whose dropped SYN the client's kernel retries after 1 s; the
// bound is set so that a thousand such connections, about what one program
// opens under the default limit of 1,024 descriptors, leave room to spare.
inline constexpr std::size_t MAX_STATUS_CONNECTIONS = 2048;
inline constexpr std::size_t DESCRIPTOR_RESERVE = 64;
inline constexpr std::size_t STATUS_OPEN_FILES =
    MAX_STATUS_CONNECTIONS + DESCRIPTOR_RESERVE;
// How long a connection is held, whatever else arrives, for its request to
// come: a client a little slow between connect and send is not displaced by
// connections that arrive just after it.
inline constexpr std::chrono::milliseconds ADMISSION_GRACE{30};

// The connection bound for a process that may open `open_files` descriptors:
// the rest after DESCRIPTOR_RESERVE, at least 1, at most
// MAX_STATUS_CONNECTIONS.
std::size_t connection_bound(std::uint64_t open_files);

// Responses being written and the one kept for later requests hold at most
// about this many bytes between them (a buffer shared by several connections
// counts once): a GET read while they hold more waits, its time running,
// until a write ends. A full table's document is about 4.5 MB, a real mesh's
// a few kilobytes; without the bound, clients that change the table and
// never read could hold a document each.
inline constexpr std::size_t RESPONSE_MEMORY_BUDGET = std::size_t{16} << 20;

// Serves 127.0.0.1:47833 forever, holding at most the connection_bound of the
// process's soft RLIMIT_NOFILE at its start. Returns only when the listening
// socket cannot be opened, after printing "[pim-node] status server error: …".
void status_server(const NodeConfig& config,
                   const std::shared_ptr<PeerTable>& table,
                   const std::shared_ptr<NodeCounters>& counters);

// Serves the connections of `listen_fd`, a non-blocking socket, forever,
// holding at most `max_connections`, which must be at least 1: each gets
// `time_limit` to send its request and again to take its response, which
// is cut with a reset when the time runs out (a response of at most 64 KiB to
// a request read whole, blank line and all, is closed once written, and the
// kernel delivers it). An accept error other than
// ECONNABORTED or EAGAIN leaves the socket alone for a short pause, so that a
// lasting error does not spin. How each connection ends is counted in
// `counters`: answered once its whole response is written, not_get, timed_out
// before that, or dropped to make room. `config`, `table` and `counters` must
// outlive the call.
[[noreturn]] void serve_status(
    int listen_fd, const NodeConfig& config, PeerTable& table,
    NodeCounters& counters, std::size_t max_connections,
    std::chrono::milliseconds time_limit = CONNECTION_TIME_LIMIT);
