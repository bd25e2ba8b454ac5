// The lines about the table's membership, each kind through a rate-limited
// log so that a flood cannot turn the log into its amplifier: with
// --log-peers, "peer joined" when an address enters the table and "peer left"
// when expiry or a new address in a full table removes it; and the table-full
// line when new addresses displace entries or are refused. Written by the
// thread that saw the change (the listener, the broadcaster, the main thread)
// after the table lock is released; takes no lock of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "log.h"
#include "peer_table.h"

inline constexpr std::uint32_t PEER_LOG_LINES_PER_SECOND = 20;

// "N more peer changes not shown".
std::string format_peer_changes_not_shown(std::uint64_t held_back);

// PEER_LOG_LINES_PER_SECOND peer lines in each second of the monotonic clock;
// the first line of a later second (or a housekeeping cycle) is preceded by
// the count of those held back.
inline constexpr RateLimit PEER_LOG_LIMIT{
    PEER_LOG_LINES_PER_SECOND, std::chrono::seconds{1},
    RateLimit::Periods::kWholePeriods, &format_peer_changes_not_shown};

// The table-full line at the first displacement or refusal, then at most
// once a minute while new addresses keep finding the table full.
inline constexpr RateLimit TABLE_FULL_LIMIT{
    1, std::chrono::seconds{60}, RateLimit::Periods::kFromFirstLine, nullptr};

// The table-full line, its {} filled in order with the table's capacity, the
// entries displaced and the announcements refused since the line was last
// written (at least a minute before, unless it is the first).
inline constexpr std::string_view TABLE_FULL_TEXT =
    "peer table full ({} peers): {} entries displaced, {} announcements from "
    "new addresses refused in the last minute";

// "peer joined: 10.0.0.2 alpha", the host escaped as in the
// status document (without the quotes).
std::string format_peer_joined(const IpAddress& addr, std::string_view host);

// "peer left: 10.0.0.2 alpha (silent 12 s)", the whole seconds
// since the peer was last heard, at `now`.
std::string format_peer_left(const Peer& peer, MonotonicClock::time_point now);

// TABLE_FULL_TEXT filled in.
std::string format_table_full(std::size_t capacity, std::uint64_t displaced,
                              std::uint64_t refused);

// The listener's table-full line: its limit, and what happened since it was
// last written. One listener owns it.
struct TableFullLog {
  RateLimitedLog line{TABLE_FULL_LIMIT};
  std::uint64_t displaced = 0;
  std::uint64_t refused = 0;
};

// The --log-peers lines, one log for the three threads that write them.
struct PeerLog {
  RateLimitedLog lines{PEER_LOG_LIMIT};
};

// What the listener says about a batch that record_peer has just recorded,
// at `now`: when `log` is given, a "peer left" line for each of the
// `displaced` peers (as for expiry) and a "peer joined" line for each new
// entry; and, through report_table_full, the `displaced_count` entries that
// gave way and the addresses refused.
void report_recorded(std::span<const HeardPeer> heard,
                     std::size_t displaced_count,
                     std::span<const Peer> displaced, std::size_t capacity,
                     PeerLog* log, TableFullLog& table_full,
                     MonotonicClock::time_point now);

// Writes the table-full line at `now` when anything is still untold and the
// limit lets it: the listener calls it after every batch and every receive
// timeout, so that the counts of a flood's last minute are not kept until
// the next one.
void report_table_full(TableFullLog& table_full, std::size_t capacity,
                       MonotonicClock::time_point now);

// Runs one prune of the table at `now` and, when `log` is given, writes a
// "peer left" line for every peer it removed (after the lock is released)
// and any summary still owed. Returns how many peers the prune removed. The
// broadcaster and the main thread call it.
std::size_t expire_peers(PeerTable& table, PeerLog* log,
                         MonotonicClock::time_point now);
