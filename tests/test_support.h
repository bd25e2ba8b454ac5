// Helpers that several test binaries share: a fake hostname program, the
// count of a process's descriptors or threads, the CPU time of a thread
// that may never return, and Prometheus's checker of a metrics text. Called
// from the tests' own threads; no lock.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace test_support {

// A temporary folder holding a `hostname` program: either a script that
// prints `output` (any bytes) and exits with `status`, or a script given
// whole, or nothing. Removed on destruction, after killing the process whose
// pid a script may have left in folder()/pid (a background sleep that holds
// the output pipe, say).
class FakeHostname {
 public:
  static FakeHostname printing(std::string_view output, int status = 0);
  static FakeHostname script(std::string_view body, mode_t mode = 0755);
  static FakeHostname missing();  // a folder with no hostname in it
  ~FakeHostname();
  FakeHostname(FakeHostname&& other) noexcept;
  FakeHostname(const FakeHostname&) = delete;
  FakeHostname& operator=(const FakeHostname&) = delete;

  // A PATH that finds this hostname first, then the system's programs; only
  // this folder when its hostname is missing or cannot be run, so that the
  // system's own is not found instead.
  std::string path() const;
  const std::string& folder() const { return folder_; }

 private:
  FakeHostname() = default;
  std::string folder_;
  bool runnable_ = false;
};

// The entries of a /proc folder such as /proc/self/fd (the open descriptors,
// the one reading the folder included) or /proc/PID/task (the threads), or -1
// when it cannot be read.
int proc_entry_count(const std::string& folder);

// Starts `work` on a thread that is never joined (a loop that never returns
// may go on until the process ends) and returns the CPU time that thread used
// during the `window` after it started.
std::chrono::nanoseconds cpu_time_of_detached(std::function<void()> work,
                                              std::chrono::milliseconds window);

// Whether `program` is found on the search path.
bool on_search_path(const std::string& program);

// The exit status of `promtool check metrics` reading `text` (-1 when it
// could not be run) and everything it said, standard error included.
std::pair<int, std::string> promtool_check_metrics(const std::string& text);

}  // namespace test_support
