#include "peer_log.h"

#include <chrono>

#include "log.h"
#include "text_format.h"

namespace {

std::uint64_t second_of(MonotonicClock::time_point now) {
  // Offset by one so that the zero window never counts as a current second.
  return static_cast<std::uint64_t>(
             std::chrono::duration_cast<std::chrono::seconds>(
                 now.time_since_epoch())
                 .count()) +
         1;
}

}  // namespace

std::string format_peer_joined(const IpAddress& addr, std::string_view host) {
  std::string line = "peer joined: " + addr.to_string() + " ";
  append_json_escaped(line, host);
  return line;
}

std::string format_peer_left(const Peer& peer, MonotonicClock::time_point now) {
  const auto silent =
      std::chrono::duration_cast<std::chrono::seconds>(now - peer.last_seen);
  std::string line = "peer left: " + peer.addr.to_string() + " ";
  append_json_escaped(line, peer.host);
  line.append(" (silent ").append(std::to_string(silent.count())).append(" s)");
  return line;
}

bool PeerLog::admit(MonotonicClock::time_point now, bool for_line) {
  const std::uint64_t second = second_of(now);
  std::uint64_t window = window_.load();
  for (;;) {
    if (window >> 32 == (second & 0xFFFFFFFF) && window != 0) {
      if (!for_line) return false;
      const std::uint64_t used = window & 0xFFFFFFFF;
      if (used >= PEER_LOG_LINES_PER_SECOND) {
        held_back_.fetch_add(1);
        return false;
      }
      if (window_.compare_exchange_weak(window, window + 1)) return true;
      continue;
    }
    // A new second: whoever moves the window on writes the summary.
    const std::uint64_t opened =
        ((second & 0xFFFFFFFF) << 32) | (for_line ? 1 : 0);
    if (!window_.compare_exchange_weak(window, opened)) continue;
    if (const std::uint64_t held = held_back_.exchange(0); held != 0) {
      log_line(std::to_string(held) + " more peer changes not shown");
    }
    return for_line;
  }
}

void PeerLog::write(std::string_view line, MonotonicClock::time_point now) {
  if (admit(now, true)) log_line(line);
}

void PeerLog::flush(MonotonicClock::time_point now) {
  if (held_back_.load() != 0) (void)admit(now, false);
}

void expire_peers(PeerTable& table, PeerLog* log,
                  MonotonicClock::time_point now) {
  if (log == nullptr) {
    (void)table.prune_stale(now);
    return;
  }
  std::vector<Peer> removed;
  (void)table.prune_stale(now, &removed);
  for (const Peer& peer : removed) log->write(format_peer_left(peer, now), now);
  log->flush(now);
}
