// The peer table: one Peer per sender address heard from recently, behind the
// node's only mutex, and who gives way when it is full. The listener records
// peers, the broadcaster and the main thread expire them and the main thread
// keeps the machine's addresses current, the status server reads them. Every
// operation takes the lock itself and releases it before returning; never
// call one with it held.
#pragma once

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
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
  // Its latest announcement came from inside a subnet of an address of the
  // interface it arrived on (see is_on_link).
  bool on_link = false;
  bool heard_again = false;  // heard more than once since it joined
  // Its place in the table's order of who gives way first; meaningful only
  // in the table's own entry, never in a copy.
  std::list<IpAddress>::iterator admission_place{};
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
  kRefused,    // a new address while the table is full and every entry is
               // on-link and heard more than once; nothing stored
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
  int ifindex = 0;  // the interface it arrived on; 0 when unknown
  // A signed announcement's time stamp (ms since 1970), and whether it is
  // within TAG_CLOCK_WINDOW_MS of the receiver's clock (decided before the
  // lock is taken); no time stamp without a room key.
  std::optional<std::int64_t> ts = std::nullopt;
  bool fresh = false;
};

// One IPv4 address of this machine: the interface that holds it, the
// address and its netmask, both in network order.
struct InterfaceAddress {
  int ifindex = 0;
  IpAddress address;
  IpAddress netmask;

  friend bool operator==(const InterfaceAddress&,
                         const InterfaceAddress&) = default;
};

// Whether `source`, heard on interface `ifindex`, lies inside the subnet of
// one of that interface's addresses among `addresses`. Broadcasts never cross
// a router, so a genuine peer's source is almost always on-link, and most
// spoofed ones are not. An unknown interface (0) is never on-link.
bool is_on_link(std::span<const InterfaceAddress> addresses, int ifindex,
                const IpAddress& source);

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
  // (its storage is reused). Each entry's on-link flag is decided afresh
  // from its interface and the machine's addresses (set_interfaces).
  //
  // While the table holds `capacity` peers, a new address takes the place
  // of another entry, the one heard least recently among the first of these
  // that has any: entries not on-link heard only once; entries not on-link;
  // on-link entries heard only once. It is refused only when every entry is
  // on-link and has been heard more than once. Returns how many entries gave
  // way; they are appended to `displaced` when it is given, and have left
  // the table exactly as expired ones do.
  //
  // A signed announcement (one with a `ts`) is stored only when it is in
  // time: later than its entry's ts, or fresh from an address not in the
  // table; a refresh stores its ts. The entries of one batch are decided in
  // order, so a replay inside the batch is out of time as well.
  std::size_t record_peer(std::span<HeardPeer> heard,
                          std::vector<Peer>* displaced = nullptr)
      EXCLUDES(mutex_);

  // Replaces the machine's addresses that is_on_link is decided by. The
  // main thread reads them before the workers start and again every
  // housekeeping cycle, so an address added or removed counts within about
  // 5 s; until then a peer behind it is judged by the old list.
  void set_interfaces(std::vector<InterfaceAddress> addresses) EXCLUDES(mutex_);

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

  // As read, but only when what the status document shows may have changed
  // since the call that set `seen` (0: none yet): then it sets `seen` and
  // returns true. Entries joining or leaving and refreshes with another host
  // or ram figure (compared bit for bit) are changes; the map's order moves
  // only with one of them.
  template <typename Visit>
  bool read_changed(std::uint64_t& seen, Visit&& visit) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    if (seen == version_) return false;
    seen = version_;
    std::forward<Visit>(visit)(std::as_const(peers_));
    return true;
  }
  std::size_t capacity() const { return capacity_; }

 private:
  // The classes of entries, by who gives way first: the index of an
  // entry's list in admission_.
  enum AdmissionClass : std::size_t {
    kOffLinkOnce,
    kOffLinkAgain,
    kOnLinkOnce,
    kOnLinkAgain,  // never gives way
    kAdmissionClasses,
  };
  static AdmissionClass admission_class(const Peer& peer);

  // The entries that one operation removed: how many, and the peers
  // themselves when `peers` is given.
  struct Removed {
    std::size_t count = 0;
    std::vector<Peer>* peers = nullptr;
  };

  Recorded record_locked(const HeardPeer& heard, MonotonicClock::time_point now,
                         Removed& displaced) REQUIRES(mutex_);
  // Removes the entry that gives way to a new address, if any entry may;
  // false when none may.
  bool displace_one(Removed& displaced) REQUIRES(mutex_);
  // Every entry leaves the table here, by expiry or displacement; returns
  // the entry after it in the map's order.
  PeerMap::iterator remove_entry(PeerMap::iterator entry, Removed& removed)
      REQUIRES(mutex_);
  // Every change of what read_changed watches goes through here.
  void mark_changed() REQUIRES(mutex_) { ++version_; }

  const std::size_t capacity_;
  Mutex mutex_;
  PeerMap peers_ GUARDED_BY(mutex_);
  // Moves with every mark_changed; never 0.
  std::uint64_t version_ GUARDED_BY(mutex_) = 1;
  // Each class's addresses, the least recently heard first: a join or a
  // refresh moves an address to the end of its class. Kept beside the map,
  // whose order (the document's) never changes because of them.
  std::array<std::list<IpAddress>, kAdmissionClasses> admission_
      GUARDED_BY(mutex_);
  std::vector<InterfaceAddress> interfaces_ GUARDED_BY(mutex_);
};
