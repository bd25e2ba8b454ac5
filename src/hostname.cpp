#include "hostname.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "utf8.h"

namespace {

void close_if_open(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Starts hostname with stdin on /dev/null and stdout/stderr on the pipes'
// write ends. Returns 0 or the spawn error.
int spawn_hostname(pid_t& pid, int stdout_fd, int stderr_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int error = posix_spawn_file_actions_init(&actions);
  if (error != 0) return error;
  error = posix_spawnattr_init(&attributes);
  if (error != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return error;
  }
  sigset_t default_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);  // ignored here, default for the child
  char program[] = "hostname";
  char* argv[] = {program, nullptr};
  if ((error = posix_spawn_file_actions_addopen(
           &actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) == 0 &&
      (error = posix_spawn_file_actions_adddup2(&actions, stdout_fd,
                                                STDOUT_FILENO)) == 0 &&
      (error = posix_spawn_file_actions_adddup2(&actions, stderr_fd,
                                                STDERR_FILENO)) == 0 &&
      (error = posix_spawnattr_setsigdefault(&attributes, &default_signals)) ==
          0 &&
      (error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF)) ==
          0) {
    error = posix_spawnp(&pid, program, &actions, &attributes, argv, environ);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return error;
}

// Reads both pipes to their end and reaps the child, all within `timeout`.
// Returns the first HOSTNAME_OUTPUT_LIMIT bytes that came on stdout; kills
// and reaps the child if time runs out.
std::string collect_output(pid_t pid, int& stdout_fd, int& stderr_fd,
                           std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // A pidfd lets one poll wait for output and exit together, and names this
  // child alone where a pid may already belong to another process; without
  // one (an old kernel) the exit is checked every few milliseconds instead.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  std::string output;
  bool reaped = false;
  while (stdout_fd >= 0 || stderr_fd >= 0 || !reaped) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    std::array<pollfd, 3> fds{};
    nfds_t count = 0;
    for (int fd : {stdout_fd, stderr_fd, reaped ? -1 : pidfd}) {
      if (fd >= 0) fds[count++] = pollfd{fd, POLLIN, 0};
    }
    int wait_ms = static_cast<int>(left.count());
    if (!reaped && pidfd < 0) wait_ms = std::min(wait_ms, 5);
    const int ready = poll(fds.data(), count, wait_ms);
    if (ready < 0 && errno != EINTR) break;
    for (int* fd : {&stdout_fd, &stderr_fd}) {
      if (*fd < 0) continue;
      const auto polled =
          std::find_if(fds.begin(), fds.begin() + count,
                       [&](const pollfd& entry) { return entry.fd == *fd; });
      if (polled == fds.begin() + count || polled->revents == 0) continue;
      std::array<char, 4096> buffer;
      const ssize_t got = read(*fd, buffer.data(), buffer.size());
      if (got > 0) {
        if (fd == &stdout_fd) {
          output.append(buffer.data(),
                        std::min(static_cast<std::size_t>(got),
                                 HOSTNAME_OUTPUT_LIMIT - output.size()));
        }
      } else if (got == 0 || errno != EINTR) {
        close_if_open(*fd);
      }
    }
    if (!reaped) {
      int status = 0;
      const pid_t done = waitpid(pid, &status, WNOHANG);
      // ECHILD: SIGCHLD is ignored, so the kernel has reaped it already.
      reaped = done == pid || (done < 0 && errno != EINTR);
    }
  }
  if (!reaped) {
    // Through the pidfd the signal cannot reach a process that took the pid
    // of a child the kernel reaped by itself in the meantime.
    if (pidfd >= 0) {
      (void)syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    } else {
      kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  close_if_open(pidfd);
  return output;
}

}  // namespace

std::string read_host_name(std::chrono::milliseconds timeout) {
  int stdout_pipe[2];
  int stderr_pipe[2];
  if (pipe2(stdout_pipe, O_CLOEXEC) != 0) return std::string(FALLBACK_HOST);
  if (pipe2(stderr_pipe, O_CLOEXEC) != 0) {
    close(stdout_pipe[0]);
    close(stdout_pipe[1]);
    return std::string(FALLBACK_HOST);
  }
  pid_t pid = -1;
  const int error = spawn_hostname(pid, stdout_pipe[1], stderr_pipe[1]);
  // Only the child may hold the write ends, or the reads below never end.
  close(stdout_pipe[1]);
  close(stderr_pipe[1]);
  if (error != 0) {
    close(stdout_pipe[0]);
    close(stderr_pipe[0]);
    return std::string(FALLBACK_HOST);
  }
  const std::string output =
      collect_output(pid, stdout_pipe[0], stderr_pipe[0], timeout);
  close_if_open(stdout_pipe[0]);
  close_if_open(stderr_pipe[0]);
  return std::string(trim_white_space(decode_utf8_lossy(output)));
}
