#include "status_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr char kHeadPrefix[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ";
constexpr char kHeadSuffix[] = "\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
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

std::string response_for(const std::string& body) {
  return kHeadPrefix + std::to_string(body.size()) + kHeadSuffix + body;
}

// The body after the blank line, checked against the Content-Length header.
std::string body_of(const std::string& response) {
  const size_t blank = response.find("\r\n\r\n");
  EXPECT_NE(blank, std::string::npos);
  const std::string body = response.substr(blank + 4);
  EXPECT_NE(
      response.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
      std::string::npos);
  return body;
}

TEST(StatusResponse, ExactBytes) {
  PeerTable table;
  EXPECT_EQ(status_response("alpha", table, 8.0f), kEmptyResponse);

  record(table, v4(0x0A000002), "beta", 8.0f);
  record(table, v4(0x0A000003), "gamma", 16.0f);
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
      "116\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  const std::string beta = R"({"host":"beta","ram":8.0})";
  const std::string gamma = R"({"host":"gamma","ram":16.0})";
  const std::string self = R"({"self":{"host":"alpha","ram":8.0},"peers":[)";
  const std::string total = R"(],"total_ram":32.0})";
  const std::string response = status_response("alpha", table, 8.0f);
  EXPECT_TRUE(response == head + self + beta + "," + gamma + total ||
              response == head + self + gamma + "," + beta + total)
      << response;
}

TEST(StatusResponse, HostsAreJsonStrings) {
  struct Case {
    std::string host;
    std::string written;  // between the quotes
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"", ""},
      {"a\"b", R"(a\"b)"},
      {"a\\b", R"(a\\b)"},
      {"\"},\"x\":{\"", R"(\"},\"x\":{\")"},
      {"\n\r\t\b\f", R"(\n\r\t\b\f)"},
      {std::string("a\0b", 3), R"(a\u0000b)"},
      {"\x01\x1f\x0b\x1b", R"(\u0001\u001f\u000b\u001b)"},
      {" /<>", " /<>"},
      {"\x7f", "\x7f"},
      {"h\xC3\xA9te \xE2\x80\xA8\xF0\x9F\x98\x80",
       "h\xC3\xA9te \xE2\x80\xA8\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.host));
    PeerTable empty;
    const std::string expected_body =
        R"({"self":{"host":")" + c.written +
        R"(","ram":8.0},"peers":[],"total_ram":8.0})";
    EXPECT_EQ(status_response(c.host, empty, 8.0f),
              response_for(expected_body));

    PeerTable table;
    record(table, v4(0x0A000002), c.host, 8.0f);
    const std::string body = body_of(status_response(c.host, table, 8.0f));
    const auto json = nlohmann::json::parse(body, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << body;
    EXPECT_EQ(json["self"]["host"], c.host);
    EXPECT_EQ(json["peers"][0]["host"], c.host);
  }
}

TEST(StatusResponse, RamFigures) {
  constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  struct Case {
    float self_ram;
    std::vector<float> peer_rams;  // each peer is called p
    std::string after_self;        // the body after {"self":{"host":"alpha",
  };
  const std::string big = "170141183460469231731687303715884105728.0";
  const Case cases[] = {
      {8.0f,
       {kNan},
       R"("ram":8.0},"peers":[{"host":"p","ram":null}],"total_ram":null})"},
      {8.0f,
       {-kNan},
       R"("ram":8.0},"peers":[{"host":"p","ram":null}],"total_ram":null})"},
      {8.0f,
       {kInf},
       R"("ram":8.0},"peers":[{"host":"p","ram":null}],"total_ram":null})"},
      {8.0f,
       {-kInf},
       R"("ram":8.0},"peers":[{"host":"p","ram":null}],"total_ram":null})"},
      {kNan, {}, R"("ram":null},"peers":[],"total_ram":null})"},
      {kInf,
       {1.0f},
       R"("ram":null},"peers":[{"host":"p","ram":1.0}],"total_ram":null})"},
      // Exact ties go to the even digit: 0.25 → 0.2, 8.75 → 8.8.
      {8.0f,
       {0.25f},
       R"("ram":8.0},"peers":[{"host":"p","ram":0.2}],"total_ram":8.2})"},
      {8.0f,
       {0.75f},
       R"("ram":8.0},"peers":[{"host":"p","ram":0.8}],"total_ram":8.8})"},
      {8.0f,
       {0.05f},
       R"("ram":8.0},"peers":[{"host":"p","ram":0.1}],"total_ram":8.1})"},
      // The total starts from -0.0, so nothing but negative zeros stays -0.0.
      {-0.0f, {}, R"("ram":-0.0},"peers":[],"total_ram":-0.0})"},
      {-0.0f,
       {-0.0f},
       R"("ram":-0.0},"peers":[{"host":"p","ram":-0.0}],"total_ram":-0.0})"},
      {8.0f,
       {-8.0f},
       R"("ram":8.0},"peers":[{"host":"p","ram":-8.0}],"total_ram":0.0})"},
      // Summed in single precision: 16777216 + 1 rounds back to 16777216.
      {1.0f,
       {16777216.0f},
       R"("ram":1.0},"peers":[{"host":"p","ram":16777216.0}],"total_ram":16777216.0})"},
      // 2^127 + 2^127 overflows a float, though not a double, and stays
      // infinite when -2^127 is added.
      {-0x1p127f,
       {0x1p127f, 0x1p127f},
       R"("ram":-)" + big + R"(},"peers":[{"host":"p","ram":)" + big +
           R"(},{"host":"p","ram":)" + big + R"(}],"total_ram":null})"},
  };
  for (const Case& c : cases) {
    PeerTable table;
    std::uint32_t address = 0x0A000002;
    for (float ram : c.peer_rams) record(table, v4(address++), "p", ram);
    const std::string body = R"({"self":{"host":"alpha",)" + c.after_self;
    SCOPED_TRACE(body);
    const std::string response = status_response("alpha", table, c.self_ram);
    EXPECT_EQ(response, response_for(body));
    EXPECT_FALSE(nlohmann::json::parse(body_of(response), nullptr, false)
                     .is_discarded());
  }
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

// serve_status on an ephemeral loopback port, on a thread that runs until the
// test process ends; returns the port.
std::uint16_t start_server(PeerTable& table, milliseconds limit) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  EXPECT_GE(fd, 0);
  sockaddr_in address = loopback(0);
  socklen_t size = sizeof address;
  EXPECT_EQ(
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(listen(fd, 128), 0);
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
  std::thread(serve_status, fd, std::cref(alpha_config()), std::ref(table),
              limit)
      .detach();
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

const std::string kCurlLike =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1:47833\r\nUser-Agent: curl/7.88.1\r\n"
    "Accept: */*\r\nAccept-Language: en\r\n\r\n";

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
  const std::uint16_t port = start_server(lasting_table(), milliseconds{2000});
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
  PeerTable& table = large_table(6000);
  const std::uint16_t port = start_server(table, CONNECTION_TIME_LIMIT);
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
  // The same bytes as a response built now: the table has not changed.
  EXPECT_TRUE(got.bytes == status_response("alpha", table, 8.0f))
      << got.bytes.size() << " bytes";
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
  const std::size_t dropped = 301 - MAX_STATUS_CONNECTIONS;
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
  };
  const Case cases[] = {
      // Larger than a send buffer grows (4 MB): the time runs out while
      // the response is being written.
      {"6 MB", 6000},
      // Here the send buffer takes it whole: the time runs out while its end
      // waits for the client's acknowledgement.
      {"2 MB", 2000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PeerTable& table = large_table(c.peers);
    const std::uint16_t port = start_server(table, milliseconds{1000});
    const int fd = connect_to(port, 4096);
    send_all(fd, "GET");
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

// A socket that never listens fails every accept with EINVAL and always polls
// ready; the server must pause after each failure rather than spin.
TEST(ServeStatus, AcceptFailureDoesNotSpin) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(accept4(fd, nullptr, nullptr, SOCK_CLOEXEC), -1);
  EXPECT_EQ(errno, EINVAL);
  pollfd ready{fd, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 0), 1);
  std::thread server(serve_status, fd, std::cref(alpha_config()),
                     std::ref(lasting_table()), CONNECTION_TIME_LIMIT);
  clockid_t cpu_clock;
  ASSERT_EQ(pthread_getcpuclockid(server.native_handle(), &cpu_clock), 0);
  server.detach();
  const auto cpu_time = [cpu_clock] {
    timespec now{};
    EXPECT_EQ(clock_gettime(cpu_clock, &now), 0);
    return std::chrono::seconds{now.tv_sec} +
           std::chrono::nanoseconds{now.tv_nsec};
  };
  const auto before = cpu_time();
  std::this_thread::sleep_for(milliseconds{1000});
  const auto used = cpu_time() - before;
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(used).count(), 100);
}

}  // namespace
