#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "node_harness.h"
#include "version.h"

namespace {

using harness::FakeHostname;
using harness::Namespace;
using harness::NodeOptions;
using harness::NodeProcess;
using harness::StderrMode;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr char kDash[] = "\xE2\x80\x94";

constexpr char kAlphaBody[] =
    R"({"self":{"host":"alpha","ram":8.0},"peers":[],"total_ram":8.0})";

bool serves(const Namespace& ns) {
  return !harness::wait_for_status(
              ns, [](const std::string& b) { return !b.empty(); },
              milliseconds{5000})
              .empty();
}

// A TCP connection to the status port inside ns, or -1.
int connect_status(const Namespace& ns) {
  return ns.within([] {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(47833);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address),
                           sizeof address) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  });
}

// A namespace of the harness has no route for 255.255.255.255, so the node
// says once that its sends fail; that line may come at any point.
std::string without_send_error(std::string text) {
  static constexpr std::string_view LINE =
      "[pim-node] broadcast send error: Network is unreachable (os error "
      "101)\n";
  if (const auto at = text.find(LINE); at != std::string::npos) {
    text.erase(at, LINE.size());
  }
  return text;
}

long long elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

TEST(NodeProcess, PrintsStartLineAndServesStatus) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("start"));
  const auto fake = FakeHostname::printing("alpha\n");
  NodeProcess node(ns, NodeOptions{{}, fake.path()});
  EXPECT_EQ(
      without_send_error(node.read_stderr_until("\n", milliseconds{5000})),
      "[pim-node] Starting \xE2\x80\x94 room=MORUN-DEFAULT node_count=1 "
      "host=alpha ram=8.0GB\n");
  const std::string body = harness::wait_for_status(
      ns, [](const std::string& b) { return !b.empty(); }, milliseconds{3000});
  EXPECT_EQ(
      body,
      R"({"self":{"host":"alpha","ram":8.0},"peers":[],"total_ram":8.0})");
}

TEST(NodeProcess, StartLineFromArgumentsAndHostname) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  struct Case {
    std::vector<std::string> args;
    std::string hostname_output;
    std::string line;
  };
  const Case cases[] = {
      {{"--room", "lab", "--node-count", "3"},
       "beta\n",
       std::string("[pim-node] Starting ") + kDash +
           " room=lab node_count=3 host=beta ram=8.0GB\n"},
      {{"--room", "--node-count", "3"},
       "\xE3\x80\x80g\xFFmma\xE3\x80\x80\n",
       std::string("[pim-node] Starting ") + kDash +
           " room=--node-count node_count=3 host=g\xEF\xBF\xBDmma "
           "ram=8.0GB\n"},
      {{"--node-count", "+0", "--room", ""},
       " \n",
       std::string("[pim-node] Starting ") + kDash +
           " room= node_count=0 host= ram=8.0GB\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Namespace ns(harness::unique_name("line"));
    const auto fake = FakeHostname::printing(c.hostname_output);
    char out_path[] = "/tmp/pim-stdout-XXXXXX";
    const int out_fd = mkstemp(out_path);
    ASSERT_GE(out_fd, 0);
    close(out_fd);
    NodeOptions options{c.args, fake.path()};
    options.stdout_path = out_path;
    NodeProcess node(ns, options);
    EXPECT_EQ(
        without_send_error(node.read_stderr_until("\n", milliseconds{5000})),
        c.line);
    // Serving a request is the last thing to be set up; nothing may have
    // gone to standard output by then.
    EXPECT_TRUE(serves(ns));
    struct stat out_stat {};
    EXPECT_EQ(stat(out_path, &out_stat), 0);
    EXPECT_EQ(out_stat.st_size, 0);
    unlink(out_path);
  }
}

TEST(NodeProcess, FatalStartFailures) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    StderrMode mode;
    std::string diagnostic = "";  // the whole of stderr; empty: any text
  };
  const Case cases[] = {
      {"stderr reader gone", {}, StderrMode::kClosedPipe},
      {"invalid byte", {"--room", "lab\xFF"}, StderrMode::kPipe},
      {"overlong form", {"\xC0\xAF"}, StderrMode::kPipe},
      {"cut-short sequence", {"x", "\xE2\x80"}, StderrMode::kPipe},
      {"surrogate", {"--node-count", "\xED\xA0\x80"}, StderrMode::kPipe},
      {"key file refused",
       {"--room", "lab", "--key-file", "/nonexistent/pim-room.key"},
       StderrMode::kPipe,
       "key file /nonexistent/pim-room.key: No such file or directory (os "
       "error 2)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Namespace ns(harness::unique_name("fatal"));
    const auto fake = FakeHostname::printing("alpha\n");
    NodeProcess node(ns, NodeOptions{c.args, fake.path(), c.mode});
    EXPECT_EQ(node.wait_exit(milliseconds{3000}), 101);
    if (c.mode == StderrMode::kPipe) {
      const std::string text = node.read_stderr_until("\n", milliseconds{1000});
      EXPECT_NE(text, "");
      EXPECT_EQ(text.find("Starting"), std::string::npos) << text;
      if (!c.diagnostic.empty()) {
        EXPECT_EQ(text, c.diagnostic);
      }
    }
  }
}

TEST(NodeProcess, ClosedStderrStillServes) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("nostderr"));
  const auto fake = FakeHostname::printing("alpha\n");
  NodeProcess node(ns, NodeOptions{{}, fake.path(), StderrMode::kClosed});
  ASSERT_TRUE(serves(ns));
  EXPECT_EQ(harness::status_body(ns), kAlphaBody);
  EXPECT_EQ(node.wait_exit(milliseconds{0}), std::nullopt);
  // Left empty, descriptor 2 would be taken by the first socket.
  EXPECT_EQ(harness::descriptor_target(node.pid(), 2), "/dev/null");
}

TEST(NodeProcess, SecondNodeCannotBind) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("twice"));
  const auto alpha = FakeHostname::printing("alpha\n");
  const auto beta = FakeHostname::printing("beta\n");
  NodeProcess first(ns, NodeOptions{{}, alpha.path()});
  ASSERT_TRUE(serves(ns));
  NodeProcess second(ns, NodeOptions{{}, beta.path()});
  const std::string start = std::string("[pim-node] Starting ") + kDash +
                            " room=MORUN-DEFAULT node_count=1 host=beta "
                            "ram=8.0GB\n";
  const std::string listen =
      "[pim-node] listen bind error: Address already in use (os error 98)\n";
  const std::string status =
      "[pim-node] status server error: Address already in use (os error "
      "98)\n";
  // The two workers fail on threads of their own, in either order.
  std::string text = second.read_stderr_until(listen, milliseconds{5000});
  text =
      without_send_error(second.read_stderr_until(status, milliseconds{5000}));
  EXPECT_TRUE(text == start + listen + status ||
              text == start + status + listen)
      << text;
  EXPECT_EQ(second.wait_exit(milliseconds{200}), std::nullopt);
  EXPECT_EQ(harness::status_body(ns), kAlphaBody);
  // Both failed workers have ended: the second node has two threads fewer
  // than the first (main and the broadcaster are left, plus any thread of a
  // sanitizer's runtime, which both have).
  const int expected = harness::thread_count(first.pid()) - 2;
  const auto deadline = Clock::now() + milliseconds{2000};
  while (harness::thread_count(second.pid()) != expected &&
         Clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds{20});
  EXPECT_EQ(harness::thread_count(second.pid()), expected);
}

// A thousand connections that send nothing, more than a process holds under
// the usual limit of 1,024 descriptors, neither hold up a prompt client nor
// lose their places to it.
TEST(NodeProcess, SilentClientsDoNotHoldTheEndpoint) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  rlimit own{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
  if (own.rlim_max < 1100) GTEST_SKIP() << "needs 1,100 descriptors";
  own.rlim_cur = std::max<rlim_t>(own.rlim_cur, 1100);
  Namespace ns(harness::unique_name("silent"));
  const auto fake = FakeHostname::printing("alpha\n");
  // The node starts with the usual soft limit, as under systemd, and has to
  // raise it itself.
  rlimit usual = own;
  usual.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &usual), 0);
  NodeProcess node(ns, NodeOptions{{}, fake.path()});
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &own), 0);
  ASSERT_TRUE(serves(ns));
  std::vector<int> silent;
  for (int i = 0; i < 1000; ++i) {
    silent.push_back(connect_status(ns));
    ASSERT_GE(silent.back(), 0);
  }
  const auto start = Clock::now();
  EXPECT_EQ(harness::status_body(ns), kAlphaBody);
  // Answered beside the silent ones, not after them.
  EXPECT_LT(elapsed_ms(start), 1000);
  char byte;
  int still_held = 0;
  for (const int fd : silent) {
    if (recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN) ++still_held;
  }
  EXPECT_EQ(still_held, 1000);
  // Each is closed unanswered once its 5 s have passed.
  pollfd readable{silent.back(), POLLIN, 0};
  EXPECT_EQ(poll(&readable, 1, 7000), 1);
  EXPECT_GE(elapsed_ms(start), 4000);
  EXPECT_EQ(recv(silent.back(), &byte, 1, MSG_DONTWAIT), 0);
  for (const int fd : silent) close(fd);
}

TEST(NodeProcess, HostnameThatNeverEnds) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("slowhost"));
  const auto fake = FakeHostname::script("printf 'slow\\n'\nexec sleep 20");
  const auto start = Clock::now();
  NodeProcess node(ns, NodeOptions{{}, fake.path()});
  EXPECT_EQ(
      without_send_error(node.read_stderr_until("\n", milliseconds{9000})),
      std::string("[pim-node] Starting ") + kDash +
          " room=MORUN-DEFAULT node_count=1 host=slow ram=8.0GB\n");
  EXPECT_LT(elapsed_ms(start), 7500);
}

// Output without end used to be kept whole: gigabytes, and a start line
// tens of seconds late.
TEST(NodeProcess, HostnameThatPrintsWithoutEnd) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("loudhost"));
  const auto fake = FakeHostname::script("exec tr '\\0' a < /dev/zero");
  const auto start = Clock::now();
  NodeProcess node(ns, NodeOptions{{}, fake.path()});
  // The kept 4 KiB make an announcement longer than receivers read.
  const std::string too_long =
      "[pim-node] announcement is 4128 bytes; peers read only the first 256\n";
  const std::string text =
      without_send_error(node.read_stderr_until(too_long, milliseconds{9000}));
  EXPECT_TRUE(text == std::string("[pim-node] Starting ") + kDash +
                          " room=MORUN-DEFAULT node_count=1 host=" +
                          std::string(4096, 'a') + " ram=8.0GB\n" + too_long)
      << text.size() << " bytes: " << text.substr(0, 120) << "...";
  EXPECT_LT(elapsed_ms(start), 7500);
  EXPECT_TRUE(serves(ns));
}

constexpr char kUsage[] =
    R"(Usage: pim-node [--room ROOM] [--node-count N] [--ram auto|GB] [--log-peers]
                [--key-file PATH] [--metrics]
       pim-node --generate-key
       pim-node -h | --help | --version

Announces this machine to the nodes of its room on the local network and
serves the room's members as JSON on the loopback interface.

Options:
  --room ROOM      the room (mesh) to join; default: MORUN-DEFAULT
  --node-count N   a number carried in every announcement, 0 to 4294967295;
                   default: 1
  --ram auto|GB    the memory to announce, in gigabytes, or auto for MemTotal
                   from /proc/meminfo; default: 8.0
  --log-peers      log peers joining and leaving on standard error
  --key-file PATH  the room key: sign announcements with the first key of PATH
                   and record only those signed with one of its keys;
                   default: none
  --generate-key   print a fresh key line for a key file and exit
  --metrics        also serve the node's counts in Prometheus's text format
                   at /metrics on the status port
  -h, --help       print this help and exit
  --version        print the version and exit

Ports: UDP 47832 (broadcast announcements, all interfaces),
       TCP 127.0.0.1:47833 (status document, loopback only).
Manual: man 8 pim-node
)";

TEST(NodeProcess, HelpVersionAndIgnoredArguments) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  // A hostname that leaves a mark, to show whether start-up went that far.
  const auto fake =
      FakeHostname::script("touch \"$(dirname \"$0\")/ran\"\nprintf alpha");
  const std::string mark = fake.folder() + "/ran";
  enum Output { kHelpText, kVersionLine, kKeyLine };
  struct Case {
    std::vector<std::string> args;
    std::string out_path;  // empty: a temporary file
    int status;
    Output output;
  };
  const Case cases[] = {
      {{"--room", "lab", "--help"}, "", 0, kHelpText},
      {{"--room", "--help", "-h"}, "", 0, kHelpText},
      {{"--room", "--help", "--version", "-h"}, "", 0, kVersionLine},
      // A standard output that takes nothing fails the run, with no words.
      {{"--version"}, "/dev/full", 1, kVersionLine},
      // The key file is not read either.
      {{"--key-file", "/nonexistent/k", "--generate-key"}, "", 0, kKeyLine},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& arg : c.args) shown += "[" + arg + "]";
    SCOPED_TRACE(shown);
    Namespace ns(harness::unique_name("help"));
    char out_path[] = "/tmp/pim-stdout-XXXXXX";
    const int out_fd = mkstemp(out_path);
    ASSERT_GE(out_fd, 0);
    close(out_fd);
    NodeOptions options{c.args, fake.path()};
    options.stdout_path = c.out_path.empty() ? out_path : c.out_path;
    NodeProcess node(ns, options);
    EXPECT_EQ(node.wait_exit(milliseconds{2000}), c.status);
    EXPECT_EQ(node.read_stderr_until("\n", milliseconds{1000}), "");
    EXPECT_NE(access(mark.c_str(), F_OK), 0) << "hostname ran";
    std::ifstream out_file(out_path);
    std::stringstream out;
    out << out_file.rdbuf();
    unlink(out_path);
    if (!c.out_path.empty()) continue;
    switch (c.output) {
      case kHelpText:
        EXPECT_EQ(out.str(), kUsage);
        break;
      case kVersionLine:
        EXPECT_EQ(out.str(),
                  "pim-node " + std::string(PIM_NODE_VERSION) + "\n");
        break;
      case kKeyLine:
        // 64 lower-case hexadecimal digits and a newline.
        EXPECT_EQ(out.str().size(), 65u) << out.str();
        EXPECT_EQ(out.str().find_first_not_of("0123456789abcdef"), 64u)
            << out.str();
        EXPECT_EQ(out.str().back(), '\n');
        break;
    }
  }

  // Without help, start-up is as before; the lines for what it did not use
  // follow the start line, in argument order, control characters escaped.
  Namespace ns(harness::unique_name("ignored"));
  NodeProcess node(
      ns, NodeOptions{{"--room=lab", "--room", "lab", "x\ny", "--node-count",
                       "5x", "--ram", "16", "--log-peers", "--room"},
                      fake.path()});
  const std::string last = "[pim-node] ignored argument: --room\n";
  EXPECT_EQ(
      without_send_error(node.read_stderr_until(last, milliseconds{5000})),
      std::string("[pim-node] Starting ") + kDash +
          " room=lab node_count=1 host=alpha ram=16.0GB\n"
          "[pim-node] ignored argument: --room=lab\n"
          "[pim-node] ignored argument: x\\ny\n"
          "[pim-node] ignored --node-count value: 5x (using 1)\n" +
          last);
  EXPECT_TRUE(serves(ns));
  EXPECT_EQ(access(mark.c_str(), F_OK), 0);
}

// Request bytes left unread make close() reset the connection; the response
// and its end of stream must still reach a client that reads late.
TEST(NodeProcess, LongRequestAnsweredWithCleanEnd) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("curl"));
  const auto fake = FakeHostname::printing("alpha\n");
  NodeProcess node(ns, NodeOptions{{}, fake.path()});
  ASSERT_TRUE(serves(ns));
  const std::string request =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:47833\r\nUser-Agent: curl/7.88.1\r\n"
      "Accept: */*\r\nAccept-Language: en\r\n\r\n";
  ASSERT_EQ(request.size(), 100u);
  const int fd = connect_status(ns);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL), 100);
  // Everything, the end included, has arrived before the first read.
  std::this_thread::sleep_for(milliseconds{300});
  std::string response;
  int end_errno = -1;  // 0 for a clean end of stream
  pollfd readable{fd, POLLIN, 0};
  while (poll(&readable, 1, 3000) > 0) {
    char buffer[4096];
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
      end_errno = got == 0 ? 0 : errno;
      break;
    }
    response.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  EXPECT_EQ(response,
            std::string("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                        "Content-Length: 62\r\nAccess-Control-Allow-Origin: "
                        "*\r\n\r\n") +
                kAlphaBody);
  EXPECT_EQ(end_errno, 0);
}

// The body of an HTTP/1.1 response, its chunks joined when it came chunked.
std::string http_body(const std::string& response) {
  const std::size_t blank = response.find("\r\n\r\n");
  if (blank == std::string::npos) return "";
  const std::string head = response.substr(0, blank);
  std::string rest = response.substr(blank + 4);
  if (head.find("Transfer-Encoding: chunked") == std::string::npos) return rest;
  std::string body;
  std::size_t at = 0;
  for (;;) {
    const std::size_t line_end = rest.find("\r\n", at);
    if (line_end == std::string::npos) return body;
    const std::size_t size =
        std::stoul(rest.substr(at, line_end - at), nullptr, 16);
    if (size == 0) return body;
    body.append(rest, line_end + 2, size);
    at = line_end + 2 + size + 2;
  }
}

// A TCP port on 127.0.0.1 inside ns that nothing is bound to just now.
int free_port(const Namespace& ns) {
  return ns.within([] {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 &&
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
            0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
  });
}

// A Prometheus server inside ns, on 127.0.0.1 only, scraping the node's
// /metrics every second, its configuration and data in a folder of its own.
// Stopped by its PID and the folder removed on destruction, whatever the
// test's outcome.
class PrometheusServer {
 public:
  explicit PrometheusServer(const Namespace& ns) : ns_(ns) {
    char folder[] = "/tmp/pim-prometheus-XXXXXX";
    if (mkdtemp(folder) == nullptr) return;
    folder_ = folder;
    port_ = free_port(ns);
    std::ofstream(folder_ + "/prometheus.yml")
        << "global:\n"
           "  scrape_interval: 1s\n"
           "  scrape_timeout: 1s\n"
           "scrape_configs:\n"
           "  - job_name: pim-node\n"
           "    metrics_path: /metrics\n"
           "    static_configs:\n"
           "      - targets: ['127.0.0.1:47833']\n";
    const std::vector<std::string> args = {
        "prometheus",
        "--config.file=" + folder_ + "/prometheus.yml",
        "--storage.tsdb.path=" + folder_ + "/data",
        "--web.listen-address=127.0.0.1:" + std::to_string(port_),
    };
    std::vector<char*> argv;
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const std::string ns_path = "/run/netns/" + ns.name();
    const int ns_fd = open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
    const std::string log_path = folder_ + "/prometheus.log";
    const int log_fd =
        open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (ns_fd >= 0 && log_fd >= 0 && port_ > 0) {
      pid_ = fork();
      if (pid_ == 0) {
        if (setns(ns_fd, CLONE_NEWNET) != 0) _exit(126);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
      }
    }
    if (ns_fd >= 0) close(ns_fd);
    if (log_fd >= 0) close(log_fd);
  }
  ~PrometheusServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
  }
  PrometheusServer(const PrometheusServer&) = delete;
  PrometheusServer& operator=(const PrometheusServer&) = delete;

  bool started() const { return pid_ > 0; }
  std::string log() const {
    std::ifstream file(folder_ + "/prometheus.log");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  // The instant vector of `query` through the HTTP API, as series labels
  // (name included) to value; empty when the server does not answer yet.
  std::map<std::string, double> query(const std::string& query) const {
    std::string encoded;
    for (const char c : query) {
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
        encoded.push_back(c);
      } else {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X",
                      static_cast<unsigned char>(c));
        encoded.append(escaped);
      }
    }
    const auto response = harness::http_exchange(
        ns_,
        "GET /api/v1/query?query=" + encoded +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
        port_, milliseconds{3000});
    std::map<std::string, double> values;
    if (!response || !response->starts_with("HTTP/1.1 200 ")) return values;
    const auto answer = nlohmann::json::parse(http_body(*response));
    for (const auto& series : answer.at("data").at("result")) {
      values[series.at("metric").dump()] =
          std::stod(series.at("value").at(1).get<std::string>());
    }
    return values;
  }

  // The one value of `query`, or nullopt while it has none (or several).
  std::optional<double> value(const std::string& query_text) const {
    const auto values = query(query_text);
    if (values.size() != 1) return std::nullopt;
    return values.begin()->second;
  }

 private:
  const Namespace& ns_;
  std::string folder_;
  int port_ = -1;
  pid_t pid_ = -1;
};

// Polls until `done` holds or `timeout` passes; returns whether it held.
bool eventually(const std::function<bool()>& done, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds{250});
  }
}

// A real Prometheus server scrapes a node started with --metrics: the target
// is up, the peers gauge agrees with the document, and crafted datagrams
// move the counters by exactly what they are. The datagram of another room
// is dropped by the kernel's room filter before the node reads it, so it
// counts neither as received nor as other_room: both stay where they were.
TEST(NodeProcess, PrometheusScrapesTheMetrics) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  if (!test_support::on_search_path("prometheus") ||
      !test_support::on_search_path("promtool")) {
    if (std::getenv("PIM_REQUIRE_NAMESPACES") != nullptr) {
      FAIL() << "prometheus and promtool (Debian package prometheus) are "
                "required but missing";
    }
    GTEST_SKIP() << "needs prometheus and promtool (Debian package prometheus)";
  }
  Namespace ns(harness::unique_name("prom"));
  const auto fake = FakeHostname::printing("alpha\n");
  NodeProcess node(ns,
                   NodeOptions{{"--room", "lab", "--metrics"}, fake.path()});
  ASSERT_TRUE(serves(ns));
  // Every other GET still gets the document.
  EXPECT_EQ(harness::status_body(ns), kAlphaBody);
  const auto metrics = harness::http_exchange(
      ns, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:47833\r\n\r\n");
  ASSERT_TRUE(metrics);
  const std::string text = http_body(*metrics);
  EXPECT_EQ(metrics->substr(0, metrics->size() - text.size()),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
            "charset=utf-8\r\nContent-Length: " +
                std::to_string(text.size()) +
                "\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
  const auto [status, said] = test_support::promtool_check_metrics(text);
  EXPECT_EQ(status, 0) << said;
  EXPECT_EQ(said, "");

  const PrometheusServer prometheus(ns);
  ASSERT_TRUE(prometheus.started());
  ASSERT_TRUE(eventually(
      [&] { return prometheus.value("up{job=\"pim-node\"}") == 1.0; },
      milliseconds{30000}))
      << prometheus.log();
  const auto document_peers = [&] {
    const auto body = harness::status_body(ns);
    return body ? nlohmann::json::parse(*body).at("peers").size() : 99u;
  };
  EXPECT_EQ(prometheus.value("pim_node_peers"), document_peers());
  EXPECT_EQ(prometheus.value("pim_node_peers_capacity"), 16384.0);
  EXPECT_EQ(prometheus.value("pim_node_ram_bytes"), 8589934592.0);
  EXPECT_EQ(
      prometheus.query("pim_node_build_info"),
      (std::map<std::string, double>{
          {R"({"__name__":"pim_node_build_info","instance":"127.0.0.1:47833","job":"pim-node","version":")" +
               std::string(PIM_NODE_VERSION) + R"("})",
           1.0}}));

  // The counts before the datagrams; nothing else sends to the node.
  const std::vector<std::string> series = {
      "pim_node_datagrams_received_total",
      R"(pim_node_datagrams_ignored_total{reason="not_utf8"})",
      R"(pim_node_datagrams_ignored_total{reason="not_announcement"})",
      R"(pim_node_datagrams_ignored_total{reason="other_room"})",
      R"(pim_node_peers_recorded_total{result="joined"})",
      R"(pim_node_peers_recorded_total{result="refreshed"})",
      "pim_node_peers",
  };
  std::map<std::string, double> before;
  for (const std::string& name : series) {
    const auto value = prometheus.value(name);
    ASSERT_TRUE(value) << name;
    before[name] = *value;
  }
  const harness::UdpSocket sender(ns, "127.3.0.1", 0);
  EXPECT_TRUE(
      sender.send_to("127.0.0.1", 47832, "MORUN-MESH|kitchen|gamma|2.00|1"));
  EXPECT_TRUE(
      sender.send_to("127.0.0.1", 47832, "MORUN-MESH|lab|gam\xFFma|2.00|1"));
  EXPECT_TRUE(
      sender.send_to("127.0.0.1", 47832, "MORUN-MESH|lab|gamma|2.00|1"));
  std::map<std::string, double> moved = {
      {series[0], 2}, {series[1], 1}, {series[2], 0}, {series[3], 0},
      {series[4], 1}, {series[5], 0}, {series[6], 1},
  };
  const auto moved_as_sent = [&] {
    for (const std::string& name : series) {
      if (prometheus.value(name) != before[name] + moved[name]) return false;
    }
    return true;
  };
  EXPECT_TRUE(eventually(moved_as_sent, milliseconds{15000}));
  // A later scrape shows no more than that.
  std::this_thread::sleep_for(milliseconds{2500});
  for (const std::string& name : series) {
    EXPECT_EQ(prometheus.value(name), before[name] + moved[name]) << name;
  }
  EXPECT_EQ(prometheus.value("pim_node_peers"), document_peers());
  // 2.0 + 8.0 gigabytes of 1024^3 bytes.
  EXPECT_EQ(prometheus.value("pim_node_total_ram_bytes"), 10737418240.0);
}

}  // namespace
