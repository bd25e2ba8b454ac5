// Diagnostic lines on standard error, the system's error text for them, and
// the rate limit for lines that a flood can repeat. Called from any thread;
// takes no lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// The system's description of `error` and its number, in the form
// "Address already in use (os error 98)".
std::string os_error_text(int error);

// Writes `text` to standard output whole (only --help and --version print
// there); false when it cannot.
bool write_stdout(std::string_view text);

// What a failed write of a diagnostic line does.
enum class WriteFailure {
  kIgnored,  // the line is lost and the caller carries on
  kFatal,    // the process ends (the start line and the start-up notes)
};

// The one writer of diagnostic lines: writes "[pim-node] <text>\n" to
// standard error whole (a standard error that is not open counts as
// written). When the write fails, kFatal ends the process through
// exit_with_diagnostic("failed printing to stderr: <error>"); kIgnored drops
// the line, so that a worker never ends because the journal has gone.
void log_line(std::string_view text,
              WriteFailure on_failure = WriteFailure::kIgnored);

// Writes `diagnostic` and a newline to standard error, without the prefix
// (the fatal start-up diagnostics have none), and ends the process with
// status 101.
[[noreturn]] void exit_with_diagnostic(std::string_view diagnostic);

// How often one kind of line that a flood can repeat may be written: at most
// `lines` in each period; the rest are held back and counted.
struct RateLimit {
  enum class Periods {
    // The monotonic clock's whole periods since its epoch: with a period of
    // 1 s, one for each of its seconds.
    kWholePeriods,
    // A period begins with the first line after the last period ended (its
    // start rounded up to the microsecond), so two lines that begin periods
    // are always at least a period apart.
    kFromFirstLine,
  };
  std::uint32_t lines = 1;  // at most 4095
  std::chrono::microseconds period{0};
  Periods periods = Periods::kFromFirstLine;
  // The line that says how many were held back, written before the first
  // line of a later period or by flush; null when the count is not told.
  std::string (*summary)(std::uint64_t held_back) = nullptr;
};

// One kind of line under a RateLimit, shared by any number of threads. One
// atomic word holds the current period and the lines written in it, so that
// a line is counted in the same step that admits it.
class RateLimitedLog {
 public:
  explicit RateLimitedLog(const RateLimit& limit);
  RateLimitedLog(const RateLimitedLog&) = delete;
  RateLimitedLog& operator=(const RateLimitedLog&) = delete;

  // True when one more line may be written at `now`: the caller then writes
  // it with log_line. Otherwise the line counts as held back. A `now` that
  // begins a new period first writes the summary of what was held back
  // before it. A `now` earlier than the current period (a thread that read
  // the clock before another one began it) counts against the current one.
  bool admit(std::chrono::steady_clock::time_point now);

  // Writes the summary of lines held back in an earlier period, if any, once
  // `now` is past that period, so that it is not kept until the next line;
  // the period that this begins has no line in it yet.
  void flush(std::chrono::steady_clock::time_point now);

 private:
  bool take(std::chrono::steady_clock::time_point now, bool for_line);

  const RateLimit limit_;
  // (The current period's start in microseconds + 1) << 12 | the lines
  // written in it; 0 before the first period.
  std::atomic<std::uint64_t> period_{0};
  std::atomic<std::uint64_t> held_back_{0};
};
