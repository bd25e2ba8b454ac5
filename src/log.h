// Diagnostic lines on standard error and the system's error text for them.
// Called from any thread; takes no lock.
#pragma once

#include <string>
#include <string_view>

// The system's description of `error` and its number, in the form
// "Address already in use (os error 98)".
std::string os_error_text(int error);

// Writes `line` to standard error whole. Returns 0, or the errno of the write
// that failed (EPIPE when the reader of a pipe has gone, for example); a
// standard error that is not open counts as written.
int write_stderr(std::string_view line);

// Writes `text` to standard output whole (only --help and --version print
// there); false when it cannot.
bool write_stdout(std::string_view text);

// Writes a log line; when that fails, writes the diagnostic for the failed
// write and returns false, after which the calling thread must end.
bool log_line(std::string_view line);
