#include "peer_table.h"

#include <arpa/inet.h>
#include <malloc.h>

#include <bit>
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

bool is_on_link(std::span<const InterfaceAddress> addresses, int ifindex,
                const IpAddress& source) {
  if (ifindex == 0) return false;
  for (const InterfaceAddress& own : addresses) {
    if (own.ifindex != ifindex) continue;
    bool inside = true;
    for (std::size_t i = 0; i < source.bytes.size(); ++i) {
      const auto mask = own.netmask.bytes[i];
      if ((source.bytes[i] & mask) != (own.address.bytes[i] & mask)) {
        inside = false;
        break;
      }
    }
    if (inside) return true;
  }
  return false;
}

std::size_t PeerTable::record_peer(std::span<HeardPeer> heard,
                                   std::vector<Peer>* displaced) {
  Removed gone{0, displaced};
  MutexLock lock(mutex_);
  const MonotonicClock::time_point now = MonotonicClock::now();
  for (HeardPeer& peer : heard) {
    peer.recorded = record_locked(peer, now, gone);
  }
  return gone.count;
}

void PeerTable::set_interfaces(std::vector<InterfaceAddress> addresses) {
  {
    MutexLock lock(mutex_);
    interfaces_.swap(addresses);
  }
  // The old list is freed here, after the lock is released.
}

PeerTable::AdmissionClass PeerTable::admission_class(const Peer& peer) {
  if (peer.on_link) return peer.heard_again ? kOnLinkAgain : kOnLinkOnce;
  return peer.heard_again ? kOffLinkAgain : kOffLinkOnce;
}

Recorded PeerTable::record_locked(const HeardPeer& heard,
                                  MonotonicClock::time_point now,
                                  Removed& displaced) {
  const bool on_link = is_on_link(interfaces_, heard.ifindex, heard.addr);
  if (const auto found = peers_.find(heard.addr); found != peers_.end()) {
    Peer& peer = found->second;
    // A replayed announcement never brings back an older figure.
    if (heard.ts && peer.ts && *heard.ts <= *peer.ts) {
      return Recorded::kOutOfTime;
    }
    if (peer.host != heard.host ||
        std::bit_cast<std::uint32_t>(peer.ram) !=
            std::bit_cast<std::uint32_t>(heard.ram)) {
      mark_changed();
    }
    peer.host.assign(heard.host);  // keeps the string's storage when it fits
    peer.ram = heard.ram;
    peer.last_seen = now;
    peer.ts = heard.ts;
    std::list<IpAddress>& from = admission_[admission_class(peer)];
    peer.on_link = on_link;
    peer.heard_again = true;
    // Moves the list node itself: no allocation, and the iterator stays.
    std::list<IpAddress>& to = admission_[admission_class(peer)];
    to.splice(to.end(), from, peer.admission_place);
    return Recorded::kRefreshed;
  }
  // A replay from an address not in the table is refused by its age alone.
  if (heard.ts && !heard.fresh) return Recorded::kOutOfTime;
  if (peers_.size() >= capacity_ && !displace_one(displaced)) {
    return Recorded::kRefused;
  }
  Peer& peer = peers_
                   .emplace(heard.addr, Peer{std::string(heard.host), heard.ram,
                                             now, heard.addr})
                   .first->second;
  peer.ts = heard.ts;
  peer.on_link = on_link;
  mark_changed();
  std::list<IpAddress>& to = admission_[admission_class(peer)];
  peer.admission_place = to.insert(to.end(), heard.addr);
  return Recorded::kJoined;
}

bool PeerTable::displace_one(Removed& displaced) {
  for (const AdmissionClass victims :
       {kOffLinkOnce, kOffLinkAgain, kOnLinkOnce}) {
    if (admission_[victims].empty()) continue;
    (void)remove_entry(peers_.find(admission_[victims].front()), displaced);
    return true;
  }
  return false;
}

PeerMap::iterator PeerTable::remove_entry(PeerMap::iterator entry,
                                          Removed& removed) {
  Peer& peer = entry->second;
  admission_[admission_class(peer)].erase(peer.admission_place);
  if (removed.peers != nullptr) removed.peers->push_back(std::move(peer));
  ++removed.count;
  mark_changed();
  return peers_.erase(entry);
}

std::size_t PeerTable::prune_stale(MonotonicClock::time_point now,
                                   std::vector<Peer>* removed) {
  Removed gone{0, removed};
  {
    MutexLock lock(mutex_);
    for (auto it = peers_.begin(); it != peers_.end();) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
          now - it->second.last_seen);
      if (elapsed < PEER_EXPIRY) {
        ++it;
        continue;
      }
      it = remove_entry(it, gone);
    }
    // The bucket array never shrinks on its own; after a flood it would keep
    // its largest size for the rest of the process's life.
    if (gone.count >= TRIM_AFTER_REMOVED) peers_.rehash(0);
  }
  if (gone.count >= TRIM_AFTER_REMOVED) (void)malloc_trim(0);
  return gone.count;
}
