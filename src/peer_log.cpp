#include "peer_log.h"

#include <vector>

#include "text_format.h"

std::string format_peer_changes_not_shown(std::uint64_t held_back) {
  return std::to_string(held_back) + " more peer changes not shown";
}

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

std::string format_table_full(std::size_t capacity) {
  return "peer table full (" + std::to_string(capacity) +
         " peers): announcements from new addresses ignored";
}

void report_recorded(std::span<const HeardPeer> heard, std::size_t capacity,
                     PeerLog* log, RateLimitedLog& table_full,
                     MonotonicClock::time_point now) {
  for (const HeardPeer& peer : heard) {
    if (peer.recorded == Recorded::kJoined && log != nullptr) {
      if (log->lines.admit(now)) {
        log_line(format_peer_joined(peer.addr, peer.host));
      }
    } else if (peer.recorded == Recorded::kRefused) {
      if (table_full.admit(now)) log_line(format_table_full(capacity));
    }
  }
}

std::size_t expire_peers(PeerTable& table, PeerLog* log,
                         MonotonicClock::time_point now) {
  if (log == nullptr) return table.prune_stale(now);
  std::vector<Peer> removed;
  const std::size_t count = table.prune_stale(now, &removed);
  for (const Peer& peer : removed) {
    if (log->lines.admit(now)) log_line(format_peer_left(peer, now));
  }
  log->lines.flush(now);
  return count;
}
