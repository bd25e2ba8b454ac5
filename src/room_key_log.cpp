#include "room_key_log.h"

std::string format_key_ignored(const KeyIgnoredCounts& counts,
                               const IpAddress& last_from) {
  const std::uint64_t total = counts.unsigned_datagrams + counts.unknown_key +
                              counts.bad_signature + counts.out_of_time;
  return "room key: ignored " + std::to_string(total) +
         " announcements in the last minute: " +
         std::to_string(counts.unsigned_datagrams) + " unsigned, " +
         std::to_string(counts.unknown_key) + " unknown key, " +
         std::to_string(counts.bad_signature) + " bad signature, " +
         std::to_string(counts.out_of_time) + " out of time; last from " +
         last_from.to_string();
}

std::string format_clock_off(const IpAddress& from, std::int64_t offset_ms) {
  // Division truncates toward zero; the sign is written for both sides.
  const std::int64_t seconds = offset_ms / 1000;
  const std::string sign = offset_ms < 0 ? "-" : "+";
  const std::uint64_t magnitude = seconds < 0
                                      ? 0 - static_cast<std::uint64_t>(seconds)
                                      : static_cast<std::uint64_t>(seconds);
  return "room key: announcement from " + from.to_string() + " is " + sign +
         std::to_string(magnitude) + " s off this machine's clock";
}

void RoomKeyLog::ignored(IgnoredReason reason, const IpAddress& from) {
  switch (reason) {
    case IgnoredReason::kUnsigned:
      ++counts_.unsigned_datagrams;
      break;
    case IgnoredReason::kUnknownKey:
      ++counts_.unknown_key;
      break;
    case IgnoredReason::kBadSignature:
      ++counts_.bad_signature;
      break;
    case IgnoredReason::kOutOfTime:
      ++counts_.out_of_time;
      break;
    case IgnoredReason::kNotUtf8:
    case IgnoredReason::kNotAnnouncement:
    case IgnoredReason::kOtherRoom:
      return;
  }
  last_from_ = from;
}

void RoomKeyLog::clock_off(const IpAddress& from, std::int64_t offset_ms,
                           MonotonicClock::time_point now) {
  if (clock_lines_.admit(now)) log_line(format_clock_off(from, offset_ms));
}

void RoomKeyLog::report(MonotonicClock::time_point now) {
  if (counts_.unsigned_datagrams + counts_.unknown_key + counts_.bad_signature +
          counts_.out_of_time ==
      0) {
    return;
  }
  if (!count_lines_.admit(now)) return;
  log_line(format_key_ignored(counts_, last_from_));
  counts_ = KeyIgnoredCounts{};
}
