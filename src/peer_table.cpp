#include "peer_table.h"

#include <arpa/inet.h>
#include <malloc.h>

#include <cstring>
#include <functional>

namespace {

// A prune that frees at least this many entries hands memory back to the
// system: only a flood leaves that many, and a trim costs a walk of the heap.
constexpr std::size_t TRIM_AFTER_REMOVED = 1024;

}  // namespace

IpAddress IpAddress::from_v4(const in_addr& addr) {
  IpAddress result;
  std::memcpy(result.bytes.data(), &addr.s_addr, 4);
  return result;
}

std::string IpAddress::to_string() const {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, bytes.data(), text, sizeof text);
  return text;
}

std::size_t IpAddressHash::operator()(const IpAddress& addr) const noexcept {
  const std::string_view raw(reinterpret_cast<const char*>(addr.bytes.data()),
                             addr.bytes.size());
  return std::hash<std::string_view>{}(raw);
}

void PeerTable::record_peer(std::span<HeardPeer> heard) {
  MutexLock lock(mutex_);
  const MonotonicClock::time_point now = MonotonicClock::now();
  for (HeardPeer& peer : heard) {
    peer.recorded = record_locked(peer, now);
  }
}

Recorded PeerTable::record_locked(const HeardPeer& heard,
                                  MonotonicClock::time_point now) {
  if (const auto found = peers_.find(heard.addr); found != peers_.end()) {
    Peer& peer = found->second;
    // A replayed announcement never brings back an older figure.
    if (heard.ts && peer.ts && *heard.ts <= *peer.ts) {
      return Recorded::kOutOfTime;
    }
    peer.host.assign(heard.host);  // keeps the string's storage when it fits
    peer.ram = heard.ram;
    peer.last_seen = now;
    peer.ts = heard.ts;
    return Recorded::kRefreshed;
  }
  // A replay from an address not in the table is refused by its age alone.
  if (heard.ts && !heard.fresh) return Recorded::kOutOfTime;
  if (peers_.size() >= capacity_) return Recorded::kRefused;
  peers_.emplace(heard.addr, Peer{std::string(heard.host), heard.ram, now,
                                  heard.addr, heard.ts});
  return Recorded::kJoined;
}

std::size_t PeerTable::prune_stale(MonotonicClock::time_point now,
                                   std::vector<Peer>* removed) {
  std::size_t count = 0;
  {
    MutexLock lock(mutex_);
    for (auto it = peers_.begin(); it != peers_.end();) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
          now - it->second.last_seen);
      if (elapsed < PEER_EXPIRY) {
        ++it;
        continue;
      }
      if (removed != nullptr) removed->push_back(std::move(it->second));
      it = peers_.erase(it);
      ++count;
    }
    // The bucket array never shrinks on its own; after a flood it would keep
    // its largest size for the rest of the process's life.
    if (count >= TRIM_AFTER_REMOVED) peers_.rehash(0);
  }
  if (count >= TRIM_AFTER_REMOVED) (void)malloc_trim(0);
  return count;
}
