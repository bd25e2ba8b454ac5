// What a node with a room key says about the announcements that the key made
// it ignore: how many, by reason, at most once a minute, and how far off its
// clock a sender refused for its time stamp is. The listener thread alone
// counts and writes them, after the table lock is released; no lock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "log.h"
#include "metrics.h"
#include "peer_table.h"

// Each of the two lines at the first occasion, then at most once a minute.
inline constexpr RateLimit ROOM_KEY_LOG_LIMIT{
    1, std::chrono::seconds{60}, RateLimit::Periods::kFromFirstLine, nullptr};

// The datagrams ignored for the room key since the last line, by reason.
struct KeyIgnoredCounts {
  std::uint64_t unsigned_datagrams = 0;
  std::uint64_t unknown_key = 0;
  std::uint64_t bad_signature = 0;
  std::uint64_t out_of_time = 0;
};

// "room key: ignored N announcements in the last minute: U unsigned,
// K unknown key, F bad signature, T out of time; last from ADDRESS"
std::string format_key_ignored(const KeyIgnoredCounts& counts,
                               const IpAddress& last_from);

// "room key: announcement from ADDRESS is S s off this machine's clock",
// S being the sender's clock minus this machine's, `offset_ms`, in whole
// seconds toward zero with its sign: "+75" when the sender is ahead, "-75"
// when it is behind.
std::string format_clock_off(const IpAddress& from, std::int64_t offset_ms);

class RoomKeyLog {
 public:
  // Counts one datagram ignored for `reason` (kUnsigned, kUnknownKey,
  // kBadSignature or kOutOfTime; any other is not the key's and is left
  // out).
  void ignored(IgnoredReason reason, const IpAddress& from);

  // A signed announcement from `from` refused for its time stamp, which was
  // `offset_ms` off this machine's clock: the clock line, when one is due at
  // `now`.
  void clock_off(const IpAddress& from, std::int64_t offset_ms,
                 MonotonicClock::time_point now);

  // The count line for what was ignored since the last one, when anything
  // was and a line is due at `now`; the counts then start again. The
  // listener calls it after every batch and every receive timeout, so that
  // no count waits much longer than the minute.
  void report(MonotonicClock::time_point now);

 private:
  KeyIgnoredCounts counts_;
  IpAddress last_from_;
  RateLimitedLog count_lines_{ROOM_KEY_LOG_LIMIT};
  RateLimitedLog clock_lines_{ROOM_KEY_LOG_LIMIT};
};
