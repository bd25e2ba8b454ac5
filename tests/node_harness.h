// Runs the built pim-node inside private network namespaces that the test
// creates itself, so that nothing it broadcasts leaves them, and talks to it
// from inside those namespaces. Needs root; tests skip without it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace harness {

using std::chrono::milliseconds;

// The node binary under test (set by the build).
std::string node_binary();

// True when this process may create network namespaces; tests that need them
// skip otherwise. With PIM_REQUIRE_NAMESPACES set in the environment (the test
// script sets it when run as root) a missing capability throws instead, so
// that the test fails rather than skips.
bool can_use_namespaces();

// Runs a shell command (for `ip` set-up); returns its exit status.
int run(const std::string& command);

// A named network namespace ("ip netns add"), with loopback up, removed on
// destruction.
class Namespace {
 public:
  explicit Namespace(std::string name);
  ~Namespace();
  Namespace(const Namespace&) = delete;
  Namespace& operator=(const Namespace&) = delete;

  const std::string& name() const { return name_; }
  // Runs `ip ARGS` inside the namespace; returns its exit status.
  int ip(const std::string& args) const;
  // Calls fn on a thread that has joined this namespace and returns its
  // result; the caller's own thread stays where it is.
  template <typename F>
  auto within(F fn) const -> decltype(fn());

 private:
  void enter_on_this_thread() const;
  std::string name_;
};

// The fake hostname that a node is started with (through NodeOptions::path).
using test_support::FakeHostname;

enum class StderrMode {
  kPipe,        // captured; read with read_stderr
  kClosedPipe,  // a pipe whose read end is closed before start
  kClosed,      // descriptor 2 not open at all
};

struct NodeOptions {
  std::vector<std::string> args;  // after the program name
  std::string path = "/usr/sbin:/usr/bin:/sbin:/bin";
  StderrMode stderr_mode = StderrMode::kPipe;
  // When set, standard output goes to this file (created or truncated)
  // instead of /dev/null, so a test can check that nothing is written there.
  std::string stdout_path{};
};

// One node process in a namespace, killed and reaped on destruction.
class NodeProcess {
 public:
  NodeProcess(const Namespace& ns, NodeOptions options);
  ~NodeProcess();
  NodeProcess(const NodeProcess&) = delete;
  NodeProcess& operator=(const NodeProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Everything read from standard error so far, after waiting up to
  // `timeout` for it to contain `needle` (or for the stream to end).
  std::string read_stderr_until(std::string_view needle, milliseconds timeout);
  // The exit status, or nullopt while it still runs after `timeout`; a death
  // by signal is reported as 128 + the signal number.
  std::optional<int> wait_exit(milliseconds timeout);
  // SIGKILL and reap; safe to call twice.
  void stop();

 private:
  pid_t pid_ = -1;
  int stderr_fd_ = -1;
  std::string stderr_text_;
  bool reaped_ = false;
};

// Sends `request` to 127.0.0.1:port inside ns and returns all bytes read
// until the server closes (or `timeout` passes). nullopt if it cannot connect.
std::optional<std::string> http_exchange(
    const Namespace& ns, std::string_view request, int port = 47833,
    milliseconds timeout = milliseconds{8000});

// The body of the status document (the bytes after the blank line), or
// nullopt when the node does not answer.
std::optional<std::string> status_body(const Namespace& ns);

// Polls the status document until pred(body) holds or `timeout` passes;
// returns the last body seen.
std::string wait_for_status(const Namespace& ns,
                            const std::function<bool(const std::string&)>& pred,
                            milliseconds timeout);

// Opens a TCP connection from inside ns to ip:port and closes it at once.
// Returns 0 when the connection was made, otherwise the attempt's errno
// (ECONNREFUSED when the host answered that nothing listens there,
// ETIMEDOUT when nothing answered within `timeout`).
int connect_error(const Namespace& ns, const std::string& ip, int port,
                  milliseconds timeout = milliseconds{2000});

// The number of threads of process `pid` (its /proc task entries), or -1.
int thread_count(pid_t pid);

// What descriptor `fd` of process `pid` refers to (its /proc link, for
// example "/dev/null" or "socket:[1234]"), or "" when it is not open.
std::string descriptor_target(pid_t pid, int fd);

// A UDP socket created inside a namespace (so it stays there) and bound to
// ip:port there, with SO_BROADCAST set so that 255.255.255.255 works where a
// route exists. Closed on destruction.
class UdpSocket {
 public:
  UdpSocket(const Namespace& ns, const std::string& ip, int port);
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // True when the whole payload went out as one datagram.
  bool send_to(const std::string& ip, int port, std::string_view payload) const;
  // Waits up to `timeout` for a datagram from `ip`; returns when it came.
  std::optional<std::chrono::steady_clock::time_point> receive_from(
      const std::string& ip, milliseconds timeout) const;

 private:
  int fd_ = -1;
};

// A namespace name unique to this test process.
std::string unique_name(std::string_view stem);

}  // namespace harness

#include "node_harness_inl.h"
