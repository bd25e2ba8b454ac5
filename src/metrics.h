// What the node counts, and the Prometheus text exposition (format 0.0.4) of
// those counts and of the node's gauges. The listener, the broadcaster, the
// housekeeping loop and the status server each add to their own counters
// with relaxed atomics, never under the table lock; the text is pure.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Why a datagram that the listener read changed nothing. The last four
// happen only with a room key.
enum class IgnoredReason : std::size_t {
  kNotUtf8,
  kNotAnnouncement,
  kOtherRoom,
  kUnsigned,
  kUnknownKey,
  kBadSignature,
  kOutOfTime,
};
inline constexpr std::size_t IGNORED_REASONS = 7;

// What the table did with an announcement of this node's room.
enum class PeerResult : std::size_t {
  kJoined,     // a new entry
  kRefreshed,  // a known address, its entry replaced
  kRefused,    // a new address while the table is full; nothing stored
  kDisplaced,  // a new address that took the place of another entry
};
inline constexpr std::size_t PEER_RESULTS = 4;

enum class BroadcastResult : std::size_t { kSent, kFailed };
inline constexpr std::size_t BROADCAST_RESULTS = 2;

// How a connection to the status endpoint ended.
enum class StatusResult : std::size_t {
  kAnswered,  // a GET, answered (the document or the metrics)
  kNotGet,    // closed unanswered: not a GET, or a failed read or write
  kTimedOut,  // its time ran out before its request or its whole answer
  kDropped,   // closed to make room for a newer connection
};
inline constexpr std::size_t STATUS_RESULTS = 4;

// The counts at one moment per counter (not one moment for all of them).
struct CounterSnapshot {
  std::uint64_t datagrams_received = 0;
  std::array<std::uint64_t, IGNORED_REASONS> datagrams_ignored{};
  std::array<std::uint64_t, PEER_RESULTS> peers_recorded{};
  std::uint64_t peers_expired = 0;
  std::array<std::uint64_t, BROADCAST_RESULTS> broadcasts{};
  std::array<std::uint64_t, STATUS_RESULTS> status_requests{};
};

// Every count the node keeps, all zero at start. An add is one relaxed
// read-modify-write: no lock, and no count lost when two threads add to the
// same counter (the broadcaster and the housekeeping loop both expire). Each
// writer's counters lie on cache lines of their own, so that counting on one
// thread never takes a cache line from another.
class NodeCounters {
 public:
  // The listener: every datagram read, and what each changed.
  void count_received(std::uint64_t datagrams = 1) {
    add(received_, datagrams);
  }
  void count(IgnoredReason reason, std::uint64_t datagrams = 1) {
    add(ignored_[static_cast<std::size_t>(reason)], datagrams);
  }
  void count(PeerResult result, std::uint64_t announcements = 1) {
    add(recorded_[static_cast<std::size_t>(result)], announcements);
  }
  // The broadcaster and the housekeeping loop.
  void count_expired(std::uint64_t peers) { add(expired_, peers); }
  void count(BroadcastResult result) {
    add(broadcasts_[static_cast<std::size_t>(result)], 1);
  }
  // The status server.
  void count(StatusResult result) {
    add(status_requests_[static_cast<std::size_t>(result)], 1);
  }

  // Any thread.
  CounterSnapshot snapshot() const;

 private:
  using Counter = std::atomic<std::uint64_t>;
  static constexpr std::size_t CACHE_LINE = 64;

  static void add(Counter& counter, std::uint64_t n) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }

  alignas(CACHE_LINE) Counter received_{0};
  std::array<Counter, IGNORED_REASONS> ignored_{};
  std::array<Counter, PEER_RESULTS> recorded_{};
  alignas(CACHE_LINE) Counter expired_{0};
  std::array<Counter, BROADCAST_RESULTS> broadcasts_{};
  alignas(CACHE_LINE) std::array<Counter, STATUS_RESULTS> status_requests_{};
};

// The values besides the counts, read when the metrics are asked for.
struct MetricsGauges {
  std::size_t peers = 0;           // entries in the table
  std::size_t peers_capacity = 0;  // the most it holds
  float ram = 0.0f;                // this node's own figure, gigabytes
  float total_ram = 0.0f;          // the document's total, gigabytes
  std::string_view version;
  double start_time_seconds = 0.0;  // since the Unix epoch
};

// The whole exposition: every family with its HELP and TYPE lines, every
// labelled series present (at 0 until counted), the ram figures in bytes
// (the node's gigabytes are 1024^3 bytes), the total NaN where the document
// writes null. Values are written so that a reader gets back the same
// 64-bit float.
std::string metrics_text(const CounterSnapshot& counts,
                         const MetricsGauges& gauges);

// The HTTP response carrying `text`, with the same CORS header as the
// document's.
std::string metrics_response(std::string_view text);

// Whether a connection's one read (at most 64 bytes), `request`, asks for
// the metrics: with `metrics_on`, "GET /metrics" followed by a space, '?' or
// the end of what was read. Without it the request is never looked at.
bool is_metrics_request(std::string_view request, bool metrics_on);
