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

int write_stderr(std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return error == EBADF ? 0 : error;
    }
    if (written == 0) return EIO;  // no progress: give up rather than spin
    line.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

bool log_line(std::string_view line) {
  const int error = write_stderr(line);
  if (error == 0) return true;
  // Standard error is gone, so this is a last attempt that may reach nobody.
  (void)write_stderr("failed printing to stderr: " + os_error_text(error) +
                     "\n");
  return false;
}
