#include "log.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

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
