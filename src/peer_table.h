// The peer table: one Peer per sender address heard from recently, behind the
// node's only mutex. The listener records peers, the broadcaster and the main
// thread expire them, the status server reads them. Every operation takes the
// lock itself and releases it before returning; never call one with it held.
#pragma once

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mutex.h"

using MonotonicClock = std::chrono::steady_clock;

// Peers silent for this many whole seconds or more are dropped.
inline constexpr std::chrono::seconds PEER_EXPIRY{12};
// No broadcast domain holds this many nodes; the bound keeps a flood of
// spoofed sources to a few megabytes (the table and its largest document).
inline constexpr std::size_t PEER_CAPACITY = 16384;

// An IPv4 address, never a port: its four bytes in network order. The
// listener hears IPv4 only, so no other family is ever a key.
struct IpAddress {
  std::array<std::uint8_t, 4> bytes{};

  static IpAddress from_v4(const in_addr& addr);
  std::string to_string() const;

  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

struct IpAddressHash {
  std::size_t operator()(const IpAddress& addr) const noexcept;
};

struct Peer {
  std::string host;  // as announced: may be empty, never trimmed
  float ram = 0.0f;  // gigabytes; any float, NaN and infinities included
  MonotonicClock::time_point last_seen;
  IpAddress addr;  // equal to the entry's key
  // With a room key: the time stamp of its last accepted announcement.
  std::optional<std::int64_t> ts = std::nullopt;
};

using PeerMap = std::unordered_map<IpAddress, Peer, IpAddressHash>;

// What an announcement did to the table.
enum class Recorded {
  kIgnored,    // not an announcement for this room; the table is untouched
  kRefreshed,  // the address was in the table; its entry now holds the new
               // values
  kJoined,     // a new entry for an address not in the table before
  kRefused,    // a new address while the table is full; nothing stored
  kOutOfTime,  // signed, but no later than the entry's last time stamp, or
               // from a new address and not fresh; the table is untouched
};

// One announcement to record with PeerTable::record_peer; `recorded` is
// filled in. The host views the datagram's buffer.
struct HeardPeer {
  IpAddress addr;
  std::string_view host;
  float ram = 0.0f;
  Recorded recorded = Recorded::kIgnored;
  // A signed announcement's time stamp (ms since 1970), and whether it is
  // within TAG_CLOCK_WINDOW_MS of the receiver's clock (decided before the
  // lock is taken); no time stamp without a room key.
  std::optional<std::int64_t> ts = std::nullopt;
  bool fresh = false;
};

class PeerTable {
 public:
  explicit PeerTable(std::size_t capacity = PEER_CAPACITY)
      : capacity_(capacity) {}
  PeerTable(const PeerTable&) = delete;
  PeerTable& operator=(const PeerTable&) = delete;

  // Stores each of `heard` in order, its host and ram under its addr, with
  // last_seen read from the monotonic clock once the lock is held: stamps
  // are ordered like the inserts, and a burst of datagrams costs one lock
  // and one clock reading per batch. Fills in each one's `recorded`. An
  // existing entry ends up exactly as a whole replacement would leave it
  // (its storage is reused). A new address is refused while the table holds
  // `capacity` peers. A signed announcement (one with a `ts`) is stored only
  // when it is in time: later than its entry's ts, or fresh from an address
  // not in the table; a refresh stores its ts. The entries of one batch are
  // decided in order, so a replay inside the batch is out of time as well.
  void record_peer(std::span<HeardPeer> heard) EXCLUDES(mutex_);

  // Removes every peer whose whole seconds elapsed since last_seen (fraction
  // discarded) at `now` are PEER_EXPIRY or more, and returns how many went;
  // the removed peers are appended to `removed` when it is given. Memory
  // freed by a large prune is handed back to the system after the lock is
  // released.
  std::size_t prune_stale(MonotonicClock::time_point now,
                          std::vector<Peer>* removed = nullptr)
      EXCLUDES(mutex_);

  // Calls visit(const PeerMap&) with the lock held, for one consistent view
  // of every entry. visit must not call back into the table.
  template <typename Visit>
  void read(Visit&& visit) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    std::forward<Visit>(visit)(std::as_const(peers_));
  }

  std::size_t capacity() const { return capacity_; }

 private:
  Recorded record_locked(const HeardPeer& heard, MonotonicClock::time_point now)
      REQUIRES(mutex_);

  const std::size_t capacity_;
  Mutex mutex_;
  PeerMap peers_ GUARDED_BY(mutex_);
};
