#include "log.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

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

}  // namespace

int write_stderr(std::string_view line) {
  const int error = write_whole(STDERR_FILENO, line);
  return error == EBADF ? 0 : error;
}

bool write_stdout(std::string_view text) {
  return write_whole(STDOUT_FILENO, text) == 0;
}

bool log_line(std::string_view line) {
  const int error = write_stderr(line);
  if (error == 0) return true;
  // Standard error is gone, so this is a last attempt that may reach nobody.
  (void)write_stderr("failed printing to stderr: " + os_error_text(error) +
                     "\n");
  return false;
}
