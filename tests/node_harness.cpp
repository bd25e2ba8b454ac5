#include "node_harness.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

namespace harness {

namespace {

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

std::string node_binary() { return PIM_NODE_BINARY; }

bool can_use_namespaces() {
  static const bool usable = [] {
    if (geteuid() != 0) return false;
    const std::string name = unique_name("probe");
    if (run("ip netns add " + name + " 2>/dev/null") != 0) return false;
    run("ip netns del " + name);
    return true;
  }();
  if (!usable && std::getenv("PIM_REQUIRE_NAMESPACES") != nullptr)
    throw std::runtime_error("network namespaces are required but unusable");
  return usable;
}

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string unique_name(std::string_view stem) {
  static std::atomic<int> counter{0};
  return "pimt-" + std::string(stem) + "-" + std::to_string(getpid()) + "-" +
         std::to_string(counter++);
}

Namespace::Namespace(std::string name) : name_(std::move(name)) {
  run("ip netns del " + name_ + " 2>/dev/null");
  if (run("ip netns add " + name_) != 0)
    throw std::runtime_error("cannot create namespace " + name_);
  ip("link set lo up");
}

Namespace::~Namespace() { run("ip netns del " + name_ + " 2>/dev/null"); }

int Namespace::ip(const std::string& args) const {
  return run("ip -n " + name_ + " " + args);
}

void Namespace::enter_on_this_thread() const {
  const std::string path = "/run/netns/" + name_;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  const int result = setns(fd, CLONE_NEWNET);
  close(fd);
  if (result != 0) throw std::runtime_error("cannot enter " + path);
}

NodeProcess::NodeProcess(const Namespace& ns, NodeOptions options) {
  const std::string binary = node_binary();
  std::vector<std::string> arg_text{binary};
  arg_text.insert(arg_text.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (auto& arg : arg_text) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // The node sees PATH and nothing else, but for the sanitizers' settings
  // when the tests run under them.
  std::vector<std::string> env_text{"PATH=" + options.path};
  for (const char* name :
       {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name))
      env_text.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const std::string ns_path = "/run/netns/" + ns.name();
  const int ns_fd = open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (ns_fd < 0) throw std::runtime_error("cannot open " + ns_path);
  int pipe_fds[2] = {-1, -1};
  if (options.stderr_mode != StderrMode::kClosed) {
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
      close(ns_fd);
      throw std::runtime_error("pipe2 failed");
    }
    if (options.stderr_mode == StderrMode::kClosedPipe) {
      close(pipe_fds[0]);
      pipe_fds[0] = -1;
    }
  }
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  const int stdout_fd =
      options.stdout_path.empty()
          ? -1
          : open(options.stdout_path.c_str(),
                 O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here to exec.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (setns(ns_fd, CLONE_NEWNET) != 0) _exit(126);
    dup2(null_fd, STDIN_FILENO);
    dup2(stdout_fd >= 0 ? stdout_fd : null_fd, STDOUT_FILENO);
    if (pipe_fds[1] >= 0) {
      dup2(pipe_fds[1], STDERR_FILENO);
    } else {
      close(STDERR_FILENO);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(ns_fd);
  close(null_fd);
  if (stdout_fd >= 0) close(stdout_fd);
  if (pipe_fds[1] >= 0) close(pipe_fds[1]);
  stderr_fd_ = pipe_fds[0];
  if (pid_ < 0) {
    if (stderr_fd_ >= 0) close(stderr_fd_);
    throw std::runtime_error("fork failed");
  }
}

NodeProcess::~NodeProcess() {
  stop();
  if (stderr_fd_ >= 0) close(stderr_fd_);
}

std::string NodeProcess::read_stderr_until(std::string_view needle,
                                           milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (stderr_fd_ >= 0 && stderr_text_.find(needle) == std::string::npos) {
    pollfd readable{stderr_fd_, POLLIN, 0};
    const int ready = poll(&readable, 1, remaining_ms(deadline));
    if (ready == 0) break;
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char buffer[4096];
    const ssize_t got = read(stderr_fd_, buffer, sizeof buffer);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      close(stderr_fd_);
      stderr_fd_ = -1;
      break;
    }
    stderr_text_.append(buffer, static_cast<size_t>(got));
  }
  return stderr_text_;
}

std::optional<int> NodeProcess::wait_exit(milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    if (done < 0 || std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    std::this_thread::sleep_for(milliseconds{10});
  }
}

void NodeProcess::stop() {
  if (pid_ <= 0 || reaped_) return;
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

std::optional<std::string> http_exchange(const Namespace& ns,
                                         std::string_view request, int port,
                                         milliseconds timeout) {
  return ns.within([&]() -> std::optional<std::string> {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
        0) {
      close(fd);
      return std::nullopt;
    }
    std::string_view left = request;
    while (!left.empty()) {
      const ssize_t sent = send(fd, left.data(), left.size(), MSG_NOSIGNAL);
      if (sent <= 0) break;
      left.remove_prefix(static_cast<size_t>(sent));
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string response;
    for (;;) {
      pollfd readable{fd, POLLIN, 0};
      if (poll(&readable, 1, remaining_ms(deadline)) <= 0) break;
      char buffer[4096];
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      response.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return response;
  });
}

std::optional<std::string> status_body(const Namespace& ns) {
  const auto response = http_exchange(ns, "GET / HTTP/1.1\r\n\r\n");
  if (!response) return std::nullopt;
  const size_t blank = response->find("\r\n\r\n");
  if (blank == std::string::npos) return std::nullopt;
  return response->substr(blank + 4);
}

std::string wait_for_status(const Namespace& ns,
                            const std::function<bool(const std::string&)>& pred,
                            milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string last;
  for (;;) {
    if (const auto body = status_body(ns)) {
      last = *body;
      if (pred(last)) return last;
    }
    if (std::chrono::steady_clock::now() >= deadline) return last;
    std::this_thread::sleep_for(milliseconds{200});
  }
}

namespace {

sockaddr_in ipv4_address(const std::string& ip, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
  return address;
}

}  // namespace

int connect_error(const Namespace& ns, const std::string& ip, int port,
                  milliseconds timeout) {
  return ns.within([&] {
    const int fd =
        socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return errno;
    const sockaddr_in address = ipv4_address(ip, port);
    int error = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address),
                sizeof address) != 0) {
      error = errno;
      if (error == EINPROGRESS) {
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, static_cast<int>(timeout.count())) <= 0) {
          error = ETIMEDOUT;
        } else {
          socklen_t length = sizeof error;
          getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        }
      }
    }
    close(fd);
    return error;
  });
}

int thread_count(pid_t pid) {
  return test_support::proc_entry_count("/proc/" + std::to_string(pid) +
                                        "/task");
}

std::string descriptor_target(pid_t pid, int fd) {
  const std::string path =
      "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  char target[4096];
  const ssize_t length = readlink(path.c_str(), target, sizeof target);
  if (length < 0) return "";
  return std::string(target, static_cast<size_t>(length));
}

UdpSocket::UdpSocket(const Namespace& ns, const std::string& ip, int port) {
  fd_ = ns.within([&] {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    const int enable = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
    const sockaddr_in address = ipv4_address(ip, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
        0) {
      close(fd);
      throw std::runtime_error("cannot bind " + ip);
    }
    return fd;
  });
}

UdpSocket::~UdpSocket() { close(fd_); }

bool UdpSocket::send_to(const std::string& ip, int port,
                        std::string_view payload) const {
  const sockaddr_in address = ipv4_address(ip, port);
  return sendto(fd_, payload.data(), payload.size(), MSG_NOSIGNAL,
                reinterpret_cast<const sockaddr*>(&address),
                sizeof address) == static_cast<ssize_t>(payload.size());
}

std::optional<std::chrono::steady_clock::time_point> UdpSocket::receive_from(
    const std::string& ip, milliseconds timeout) const {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    pollfd readable{fd_, POLLIN, 0};
    if (poll(&readable, 1, remaining_ms(deadline) + 1) <= 0) break;
    char buffer[512];
    sockaddr_in source{};
    socklen_t length = sizeof source;
    if (recvfrom(fd_, buffer, sizeof buffer, 0,
                 reinterpret_cast<sockaddr*>(&source), &length) < 0) {
      continue;
    }
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &source.sin_addr, text, sizeof text);
    if (ip == text) return Clock::now();
  }
  return std::nullopt;
}

}  // namespace harness
