// The peer table: one Peer per sender address heard from recently, guarded by
// the node's only mutex. The listener writes it through record_peer, the
// broadcaster and the main thread expire it, the status server reads it.
// record_peer takes the lock itself; every other access holds it already.
#pragma once

#include <netinet/in.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif
#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))

using MonotonicClock = std::chrono::steady_clock;

// Peers silent for this many whole seconds or more are dropped.
inline constexpr std::chrono::seconds PEER_EXPIRY{12};

// An IPv4 or IPv6 address, never a port. IPv4 uses the first four bytes.
struct IpAddress {
  bool is_v6 = false;
  std::array<std::uint8_t, 16> bytes{};

  static IpAddress from_v4(const in_addr& addr);
  static IpAddress from_v6(const in6_addr& addr);
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
};

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
    mutex_.lock();
  }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

struct PeerTable {
  Mutex mutex;
  std::unordered_map<IpAddress, Peer, IpAddressHash> peers GUARDED_BY(mutex);
};

// Stores a peer under addr, replacing any entry there whole, with last_seen
// read from the monotonic clock once the lock is held, so that stamps are
// ordered like the inserts. Takes the lock itself; never call with it held.
void record_peer(PeerTable& table, const IpAddress& addr, std::string host,
                 float ram) EXCLUDES(table.mutex);

// Removes every peer whose whole seconds elapsed since last_seen (fraction
// discarded) at `now` are PEER_EXPIRY or more. The caller holds the lock.
void prune_stale(PeerTable& table, MonotonicClock::time_point now)
    REQUIRES(table.mutex);
