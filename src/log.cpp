#include "log.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {

// strerror_r comes in two flavours; these overloads accept either.
[[maybe_unused]] const char* error_description(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_description(const char* result,
                                               const char*) {
  return result;
}

}  // namespace

std::string os_error_text(int error) {
  char buffer[256] = {};
  const char* text =
      error_description(strerror_r(error, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(error) + ")";
}

namespace {

constexpr std::string_view PREFIX = "[pim-node] ";
constexpr int FATAL_EXIT_STATUS = 101;

// Writes `text` to `fd` whole, continuing after partial writes and EINTR.
// Returns 0 or the errno of the write that failed.
int write_whole(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return error;
    }
    if (written == 0) return EIO;  // no progress: give up rather than spin
    text.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

// 0, or the errno of the write that failed (EPIPE when the reader of a pipe
// has gone, for example); a standard error that is not open counts as
// written.
int write_stderr(std::string_view line) {
  const int error = write_whole(STDERR_FILENO, line);
  return error == EBADF ? 0 : error;
}

}  // namespace

bool write_stdout(std::string_view text) {
  return write_whole(STDOUT_FILENO, text) == 0;
}

void log_line(std::string_view text, WriteFailure on_failure) {
  std::string line;
  line.reserve(PREFIX.size() + text.size() + 1);
  line.append(PREFIX).append(text).push_back('\n');
  const int error = write_stderr(line);
  if (error == 0 || on_failure == WriteFailure::kIgnored) return;
  // Standard error is gone, so this is a last attempt that may reach nobody.
  exit_with_diagnostic("failed printing to stderr: " + os_error_text(error));
}

void exit_with_diagnostic(std::string_view diagnostic) {
  std::string line(diagnostic);
  line.push_back('\n');
  (void)write_stderr(line);
  std::_Exit(FATAL_EXIT_STATUS);
}

namespace {

// The low bits of RateLimitedLog::period_ that count the lines written.
constexpr unsigned LINE_COUNT_BITS = 12;
constexpr std::uint64_t LINE_COUNT_MASK =
    (std::uint64_t{1} << LINE_COUNT_BITS) - 1;

std::int64_t nanoseconds_of(std::chrono::steady_clock::time_point now) {
  const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               now.time_since_epoch())
                               .count();
  return std::max<std::int64_t>(since_epoch, 0);  // never before the epoch
}

}  // namespace

RateLimitedLog::RateLimitedLog(const RateLimit& limit) : limit_(limit) {}

bool RateLimitedLog::admit(std::chrono::steady_clock::time_point now) {
  return take(now, true);
}

void RateLimitedLog::flush(std::chrono::steady_clock::time_point now) {
  if (limit_.summary != nullptr && held_back_.load() != 0) {
    (void)take(now, false);
  }
}

bool RateLimitedLog::take(std::chrono::steady_clock::time_point now,
                          bool for_line) {
  const std::int64_t at = nanoseconds_of(now);
  const std::int64_t period_us =
      std::max<std::int64_t>(limit_.period.count(), 1);
  const std::uint64_t lines =
      std::min<std::uint64_t>(limit_.lines, LINE_COUNT_MASK);
  std::uint64_t period = period_.load();
  for (;;) {
    const auto start_us =
        static_cast<std::int64_t>(period >> LINE_COUNT_BITS) - 1;
    if (period != 0 && at < (start_us + period_us) * 1000) {
      if (!for_line) return false;
      if ((period & LINE_COUNT_MASK) >= lines) {
        held_back_.fetch_add(1);
        return false;
      }
      if (period_.compare_exchange_weak(period, period + 1)) return true;
      continue;
    }
    // A new period: whoever begins it writes the summary.
    const std::int64_t begins_us =
        limit_.periods == RateLimit::Periods::kWholePeriods
            ? at / (period_us * 1000) * period_us
            : (at + 999) / 1000;
    const std::uint64_t begun =
        (static_cast<std::uint64_t>(begins_us + 1) << LINE_COUNT_BITS) |
        (for_line ? 1 : 0);
    if (!period_.compare_exchange_weak(period, begun)) continue;
    const std::uint64_t held = held_back_.exchange(0);
    if (held != 0 && limit_.summary != nullptr) {
      log_line(limit_.summary(held));
    }
    return for_line;
  }
}
