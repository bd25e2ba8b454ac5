// Diagnostic lines on standard error and the system's error text for them.
// Called from any thread; takes no lock.
#pragma once

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
