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

std::string format_table_full(std::size_t capacity, std::uint64_t displaced,
                              std::uint64_t refused) {
  const std::string values[] = {std::to_string(capacity),
                                std::to_string(displaced),
                                std::to_string(refused)};
  std::string line;
  std::string_view rest = TABLE_FULL_TEXT;
  for (const std::string& value : values) {
    const std::size_t at = rest.find("{}");
    if (at == std::string_view::npos) break;
    line.append(rest.substr(0, at)).append(value);
    rest.remove_prefix(at + 2);
  }
  line.append(rest);
  return line;
}

void report_recorded(std::span<const HeardPeer> heard,
                     std::size_t displaced_count,
                     std::span<const Peer> displaced, std::size_t capacity,
                     PeerLog* log, TableFullLog& table_full,
                     MonotonicClock::time_point now) {
  if (log != nullptr) {
    for (const Peer& peer : displaced) {
      if (log->lines.admit(now)) log_line(format_peer_left(peer, now));
    }
  }
  table_full.displaced += displaced_count;
  for (const HeardPeer& peer : heard) {
    if (peer.recorded == Recorded::kJoined && log != nullptr) {
      if (log->lines.admit(now)) {
        log_line(format_peer_joined(peer.addr, peer.host));
      }
    } else if (peer.recorded == Recorded::kRefused) {
      ++table_full.refused;
    }
  }
  report_table_full(table_full, capacity, now);
}

void report_table_full(TableFullLog& table_full, std::size_t capacity,
                       MonotonicClock::time_point now) {
  if (table_full.displaced == 0 && table_full.refused == 0) return;
  if (!table_full.line.admit(now)) return;
  log_line(
      format_table_full(capacity, table_full.displaced, table_full.refused));
  table_full.displaced = 0;
  table_full.refused = 0;
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
