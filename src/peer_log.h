// Membership lines for --log-peers: "peer joined" when an address enters the
// table and "peer left" when expiry removes it. Written by the thread that saw
// the change (the listener, the broadcaster, the main thread) after the table
// lock is released; takes no lock of its own. A flood of changes is cut to
// PEER_LOG_LINES_PER_SECOND lines a second plus one line a second that counts
// what was held back, so the log cannot become the flood's amplifier.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "peer_table.h"

inline constexpr std::uint32_t PEER_LOG_LINES_PER_SECOND = 20;

// "peer joined: 10.0.0.2 alpha", the host escaped as in the
// status document (without the quotes).
std::string format_peer_joined(const IpAddress& addr, std::string_view host);

// "peer left: 10.0.0.2 alpha (silent 12 s)", the whole seconds
// since the peer was last heard, at `now`.
std::string format_peer_left(const Peer& peer, MonotonicClock::time_point now);

class PeerLog {
 public:
  // Writes `line` unless this second's budget is spent, in which case it is
  // counted for the next summary. The first line of a new second is preceded
  // by "N more peer changes not shown" when lines were held back. `line`
  // goes out through log_line, which adds the prefix and the newline.
  void write(std::string_view line, MonotonicClock::time_point now);
  // Writes the summary of lines held back in an earlier second, if any;
  // called on every housekeeping cycle so a summary is not held until the
  // next change.
  void flush(MonotonicClock::time_point now);

 private:
  // True when the caller may write one more line at `now`; writes the
  // summary first when `now` opens a new second.
  bool admit(MonotonicClock::time_point now, bool for_line);

  // The current second (upper 32 bits) and the lines written in it.
  std::atomic<std::uint64_t> window_{0};
  std::atomic<std::uint64_t> held_back_{0};
};

// Runs one prune of the table at `now` and, when `log` is given, writes a
// "peer left" line for every peer it removed (after the lock is released)
// and any summary still owed. The broadcaster and the main thread call it.
void expire_peers(PeerTable& table, PeerLog* log,
                  MonotonicClock::time_point now);
