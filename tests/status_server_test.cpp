#include "status_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "metrics.h"
#include "test_support.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr char kEmptyResponse[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
    "62\r\nAccess-Control-Allow-Origin: *\r\n\r\n"
    R"({"self":{"host":"alpha","ram":8.0},"peers":[],"total_ram":8.0})";

IpAddress v4(std::uint32_t n) {
  in_addr addr{};
  addr.s_addr = htonl(n);
  return IpAddress::from_v4(addr);
}

// One peer recorded as the listener records a batch.
void record(PeerTable& table, const IpAddress& addr, std::string_view host,
            float ram) {
  HeardPeer heard[] = {{addr, host, ram}};
  table.record_peer(heard);
}

long long elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

// A server thread is never stopped, so what it reads lives as long as the
// test process.
const NodeConfig& alpha_config() {
  static const NodeConfig* const config = [] {
    auto* made = new NodeConfig;
    made->host = "alpha";
    made->ram = 8.0f;
    return made;
  }();
  return *config;
}

PeerTable& lasting_table() { return *new PeerTable; }
NodeCounters& lasting_counters() { return *new NodeCounters; }

// `peers` peers with 1,000-byte hosts: a response of about `peers` kB.
PeerTable& large_table(std::uint32_t peers) {
  PeerTable& table = lasting_table();
  for (std::uint32_t i = 0; i < peers; ++i) {
    record(table, v4(0x0A000000 + i), std::string(1000, 'h'), 1.0f);
  }
  return table;
}

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

// The connection bound of the servers started here: small enough for a test
// to fill.
constexpr std::size_t TEST_BOUND = 256;

// serve_status on an ephemeral loopback port, holding at most TEST_BOUND
// connections, on a thread that runs until the test process ends; returns
// the port. A send buffer of `send_buffer` bytes,
// when given, is what every accepted connection inherits; `cpu_clock`, when
// given, receives the thread's CPU-time clock; the server counts into
// `counters`.
std::uint16_t start_server(PeerTable& table, milliseconds limit,
                           int send_buffer = 0, clockid_t* cpu_clock = nullptr,
                           NodeCounters& counters = lasting_counters()) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  if (send_buffer > 0) {
    EXPECT_EQ(
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer),
        0);
  }
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  EXPECT_EQ(
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(fd, 128), 0);
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
  std::thread server(serve_status, fd, std::cref(alpha_config()),
                     std::ref(table), std::ref(counters), TEST_BOUND, limit);
  if (cpu_clock != nullptr) {
    EXPECT_EQ(pthread_getcpuclockid(server.native_handle(), cpu_clock), 0);
  }
  server.detach();
  return ntohs(address.sin_port);
}

// A client connection; a receive buffer of `receive_buffer` bytes when given.
int connect_to(std::uint16_t port, int receive_buffer = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  if (receive_buffer > 0) {
    EXPECT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                         sizeof receive_buffer),
              0);
  }
  const sockaddr_in address = loopback(port);
  EXPECT_EQ(
      connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address),
      0);
  return fd;
}

void send_all(int fd, const std::string& data) {
  ASSERT_EQ(send(fd, data.data(), data.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(data.size()));
}

struct Received {
  std::string bytes;
  int end_error = -1;  // 0 for a clean end of stream, else the recv errno
};

// Everything the client can read until the connection ends or `timeout`
// passes (a failure), and how it ended.
Received read_to_end(int fd, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  Received got;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    pollfd readable{fd, POLLIN, 0};
    if (left.count() <= 0 ||
        poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      ADD_FAILURE() << "connection not closed in time";
      return got;
    }
    char buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      got.end_error = n == 0 ? 0 : errno;
      return got;
    }
    got.bytes.append(buffer, static_cast<size_t>(n));
  }
}

std::uint64_t status_count(const CounterSnapshot& counted,
                           StatusResult result) {
  return counted.status_requests[static_cast<std::size_t>(result)];
}

const std::string kCurlLike =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1:47833\r\nUser-Agent: curl/7.88.1\r\n"
    "Accept: */*\r\nAccept-Language: en\r\n\r\n";

// The bound leaves the reserve to the rest of the process, never reaches
// zero, and stops at its ceiling however many descriptors are allowed.
TEST(ConnectionBound, FollowsTheDescriptorLimit) {
  struct Case {
    std::uint64_t open_files;
    std::size_t bound;
  };
  const Case cases[] = {
      {0, 1},
      {64, 1},
      {65, 1},
      {1024, 960},
      {2112, 2048},
      {2113, 2048},
      {RLIM_INFINITY, 2048},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(connection_bound(c.open_files), c.bound) << c.open_files;
  }
}

TEST(ServeStatus, AnswersOnlyGet) {
  struct Case {
    std::string request;
    bool close_after;  // the client shuts its side after sending
    bool answered;
  };
  ASSERT_EQ(kCurlLike.size(), 100u);
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, true},
      {"GET", false, true},
      {"GET", true, true},
      {"GET /anything", true, true},
      // Without --metrics the path is never looked at.
      {"GET /metrics HTTP/1.1\r\n\r\n", false, true},
      {std::string("GET\0\xff", 5), false, true},
      {kCurlLike, false, true},
      {std::string(500, 'G').replace(1, 2, "ET"), false, true},
      {"POST / HTTP/1.1\r\n\r\n", false, false},
      {"get / HTTP/1.1\r\n\r\n", false, false},
      {"HEAD / HTTP/1.1\r\n\r\n", false, false},
      {" GET /", false, false},
      {"", true, false},
      {"GE", false, false},
      {"GE", true, false},
  };
  NodeCounters& counters = lasting_counters();
  const std::uint16_t port =
      start_server(lasting_table(), milliseconds{2000}, 0, nullptr, counters);
  std::uint64_t answered = 0;
  std::uint64_t not_get = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.request));
    const int fd = connect_to(port);
    send_all(fd, c.request);
    if (c.close_after) shutdown(fd, SHUT_WR);
    const Received got = read_to_end(fd, milliseconds{3000});
    EXPECT_EQ(got.bytes, c.answered ? kEmptyResponse : "");
    // Request bytes left unread do not turn the end into a reset.
    EXPECT_EQ(got.end_error, 0);
    close(fd);
    // Counted before the close that the client has seen.
    ++(c.answered ? answered : not_get);
    const CounterSnapshot counted = counters.snapshot();
    EXPECT_EQ(status_count(counted, StatusResult::kAnswered), answered);
    EXPECT_EQ(status_count(counted, StatusResult::kNotGet), not_get);
  }
}

TEST(ServeStatus, SilentClientIsDropped) {
  const std::uint16_t port = start_server(lasting_table(), milliseconds{200});
  const auto start = Clock::now();
  const int fd = connect_to(port);
  const Received got = read_to_end(fd, milliseconds{2000});
  EXPECT_GE(elapsed_ms(start), 150);
  EXPECT_EQ(got.bytes, "");
  EXPECT_EQ(got.end_error, 0);
  close(fd);
}

// Silent clients and clients that ask and never read are held beside a
// normal client, which gets its whole response and a clean end at once. Its
// small window leaves the end of the response unacknowledged when the last
// byte is written, and its unread request bytes make the close a reset.
TEST(ServeStatus, HeldClientsDelayNoOther) {
  // More than a send buffer holds, so a client that never reads keeps its
  // response unwritten.
  const std::uint16_t port =
      start_server(large_table(6000), CONNECTION_TIME_LIMIT);
  std::vector<int> held;
  for (int i = 0; i < 20; ++i) held.push_back(connect_to(port));
  for (int i = 0; i < 5; ++i) {
    held.push_back(connect_to(port, 4096));
    send_all(held.back(), "GET");
  }
  std::this_thread::sleep_for(milliseconds{100});
  const auto start = Clock::now();
  const int fd = connect_to(port, 16384);
  send_all(fd, kCurlLike);
  const Received got = read_to_end(fd, milliseconds{4000});
  EXPECT_LT(elapsed_ms(start), 2000);
  // 6,000 entries of 1,021 bytes joined with commas, between the 44 bytes
  // before the list and the 21 after it: 6,132,064 bytes of document.
  std::string expected =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
      "6132064\r\nAccess-Control-Allow-Origin: *\r\n\r\n"
      R"({"self":{"host":"alpha","ram":8.0},"peers":[)";
  const std::string entry =
      R"({"host":")" + std::string(1000, 'h') + R"(","ram":1.0})";
  for (int i = 0; i < 6000; ++i) {
    if (i > 0) expected.push_back(',');
    expected.append(entry);
  }
  expected.append(R"(],"total_ram":6008.0})");
  EXPECT_TRUE(got.bytes == expected) << got.bytes.size() << " bytes";
  EXPECT_EQ(got.end_error, 0);
  close(fd);
  for (const int h : held) close(h);
}

// A full house of silent connections gives way, oldest first, to a client
// that sends its request at once.
TEST(ServeStatus, OldestSilentConnectionMakesRoom) {
  const std::uint16_t port =
      start_server(lasting_table(), CONNECTION_TIME_LIMIT);
  std::vector<int> silent;
  for (int i = 0; i < 300; ++i) {
    silent.push_back(connect_to(port));
    // Lets the server accept before the backlog could fill and reorder.
    if (i % 100 == 99) std::this_thread::sleep_for(milliseconds{50});
  }
  const auto start = Clock::now();
  const int fd = connect_to(port);
  send_all(fd, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(read_to_end(fd, milliseconds{3000}).bytes, kEmptyResponse);
  EXPECT_LT(elapsed_ms(start), 2000);
  close(fd);
  // 300 silent and one asking: the 45 oldest went, unanswered.
  const std::size_t dropped = 301 - TEST_BOUND;
  for (std::size_t i = 0; i < silent.size(); ++i) {
    SCOPED_TRACE(i);
    char byte;
    const ssize_t got = recv(silent[i], &byte, 1, MSG_DONTWAIT);
    if (i < dropped) {
      EXPECT_EQ(got, 0);
    } else {
      EXPECT_EQ(got, -1);
      EXPECT_EQ(errno, EAGAIN);
    }
    close(silent[i]);
  }
}

// The descriptors of this process whose own end is bound to `port`: the
// server's listening socket and the connections it holds, never a client's.
int descriptors_bound_to(std::uint16_t port) {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (getsockname(std::atoi(entry->d_name),
                    reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
        address.sin_family == AF_INET && address.sin_port == htons(port)) {
      ++count;
    }
  }
  closedir(folder);
  return count;
}

milliseconds cpu_time(clockid_t clock) {
  timespec now{};
  EXPECT_EQ(clock_gettime(clock, &now), 0);
  return std::chrono::duration_cast<milliseconds>(
      std::chrono::seconds{now.tv_sec} + std::chrono::nanoseconds{now.tv_nsec});
}

// A burst of clients that ask and never read, more than the bound: once every
// held connection is being answered, a newcomer is refused rather than kept.
// (Keeping it let such clients push the held count toward the descriptor
// limit.) The full server then sleeps while the rest wait in the backlog.
TEST(ServeStatus, AnsweredConnectionsKeepTheBound) {
  // A 100 kB response, and send buffers of a few kilobytes: no response is
  // written whole while its client does not read.
  clockid_t server_cpu;
  const std::uint16_t port =
      start_server(large_table(100), CONNECTION_TIME_LIMIT, 8192, &server_cpu);
  std::vector<int> clients;
  for (int i = 0; i < 300; ++i) {
    clients.push_back(connect_to(port, 4096));
    send_all(clients.back(), "GET");
  }
  // Past the burst: a newcomer accepted only to be refused holds its
  // descriptor for a moment, so the count is read once accepting has stopped.
  std::this_thread::sleep_for(milliseconds{100});
  const milliseconds cpu_before = cpu_time(server_cpu);
  int most_held = 0;
  for (int i = 0; i < 20; ++i) {
    const int held = descriptors_bound_to(port) - 1;  // not the listener
    most_held = std::max(most_held, held);
    std::this_thread::sleep_for(milliseconds{10});
  }
  EXPECT_LE(most_held, static_cast<int>(TEST_BOUND));
  // The burst did fill the server.
  EXPECT_GE(most_held, 200);
  EXPECT_LT((cpu_time(server_cpu) - cpu_before).count(), 50)
      << "the loop spun while it was full";
  for (const int fd : clients) close(fd);
}

// Content-Length, and the bytes after the blank line.
std::pair<std::size_t, std::size_t> lengths(const std::string& response) {
  static constexpr std::string_view FIELD = "Content-Length: ";
  const std::size_t field = response.find(FIELD);
  const std::size_t blank = response.find("\r\n\r\n");
  EXPECT_NE(field, std::string::npos);
  EXPECT_NE(blank, std::string::npos);
  if (field == std::string::npos || blank == std::string::npos) return {0, 0};
  return {std::stoul(response.substr(field + FIELD.size())),
          response.size() - blank - 4};
}

// A client that cannot take the whole response in time gets an error after
// the part it read, never a clean end that would pass a cut document off as
// whole; the table is not locked while the server waits for it.
TEST(ServeStatus, ResponseCutWithResetWhenTimeRunsOut) {
  struct Case {
    const char* name;
    std::uint32_t peers;
    const char* request;
  };
  const Case cases[] = {
      // Larger than a send buffer grows (4 MB): the time runs out while
      // the response is being written.
      {"6 MB", 6000, "GET"},
      // Here the send buffer takes it whole: the time runs out while its end
      // waits for the client's acknowledgement.
      {"2 MB", 2000, "GET"},
      // A request read whole does not spare a large response that wait.
      {"2 MB, whole request", 2000, "GET / HTTP/1.1\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeerTable& table = large_table(c.peers);
    const std::uint16_t port = start_server(table, milliseconds{1000});
    const int fd = connect_to(port, 4096);
    send_all(fd, c.request);
    std::this_thread::sleep_for(milliseconds{100});
    const auto before_record = Clock::now();
    record(table, v4(0x0B000001), "late", 2.0f);
    EXPECT_LT(elapsed_ms(before_record), 700)
        << "the lock was held during the write";
    std::this_thread::sleep_for(milliseconds{400});
    tcp_info info{};
    socklen_t size = sizeof info;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size), 0);
    EXPECT_EQ(info.tcpi_state, TCP_ESTABLISHED) << "ended before its time";
    std::this_thread::sleep_for(milliseconds{900});
    const Received got = read_to_end(fd, milliseconds{2000});
    EXPECT_EQ(got.bytes.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    const auto [content_length, body_read] = lengths(got.bytes);
    EXPECT_GT(content_length, c.peers * 1000u);
    EXPECT_LT(body_read, content_length);
    EXPECT_EQ(got.end_error, ECONNRESET);
    close(fd);
  }
}

// A client that resets its connection while the response is being written
// ends it unanswered, and it is counted so.
TEST(ServeStatus, ClientGoneMidResponseCountedUnanswered) {
  NodeCounters& counters = lasting_counters();
  const std::uint16_t port =
      start_server(large_table(6000), milliseconds{5000}, 0, nullptr, counters);
  const int fd = connect_to(port, 4096);
  send_all(fd, "GET");
  std::this_thread::sleep_for(milliseconds{100});
  const linger abort{1, 0};
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
  close(fd);
  const auto deadline = Clock::now() + milliseconds{3000};
  CounterSnapshot counted = counters.snapshot();
  while (status_count(counted, StatusResult::kNotGet) == 0 &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds{10});
    counted = counters.snapshot();
  }
  EXPECT_EQ(status_count(counted, StatusResult::kNotGet), 1u);
  EXPECT_EQ(status_count(counted, StatusResult::kAnswered), 0u);
  EXPECT_EQ(status_count(counted, StatusResult::kTimedOut), 0u);
}

// A socket that never listens fails every accept with EINVAL and always polls
// ready; the server must pause after each failure rather than spin.
TEST(ServeStatus, AcceptFailureDoesNotSpin) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(accept4(fd, nullptr, nullptr, SOCK_CLOEXEC), -1);
  EXPECT_EQ(errno, EINVAL);
  pollfd ready{fd, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 0), 1);
  const auto used = test_support::cpu_time_of_detached(
      [fd] {
        serve_status(fd, alpha_config(), lasting_table(), lasting_counters(),
                     TEST_BOUND, CONNECTION_TIME_LIMIT);
      },
      milliseconds{1000});
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(used).count(), 100);
}

}  // namespace
