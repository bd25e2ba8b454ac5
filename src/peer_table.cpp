#include "peer_table.h"

#include <arpa/inet.h>

#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

IpAddress IpAddress::from_v4(const in_addr& addr) {
  IpAddress result;
  std::memcpy(result.bytes.data(), &addr.s_addr, 4);
  return result;
}

IpAddress IpAddress::from_v6(const in6_addr& addr) {
  IpAddress result;
  result.is_v6 = true;
  std::memcpy(result.bytes.data(), addr.s6_addr, 16);
  return result;
}

std::string IpAddress::to_string() const {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(is_v6 ? AF_INET6 : AF_INET, bytes.data(), text, sizeof text);
  return text;
}

std::size_t IpAddressHash::operator()(const IpAddress& addr) const noexcept {
  std::string_view raw(reinterpret_cast<const char*>(addr.bytes.data()),
                       addr.is_v6 ? 16 : 4);
  return std::hash<std::string_view>{}(raw) ^ (addr.is_v6 ? 1 : 0);
}

void record_peer(PeerTable& table, const IpAddress& addr, std::string host,
                 float ram) {
  MutexLock lock(table.mutex);
  const MonotonicClock::time_point now = MonotonicClock::now();
  table.peers.insert_or_assign(addr, Peer{std::move(host), ram, now, addr});
}

void prune_stale(PeerTable& table, MonotonicClock::time_point now) {
  std::erase_if(table.peers, [now](const auto& entry) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        now - entry.second.last_seen);
    return elapsed >= PEER_EXPIRY;
  });
}
