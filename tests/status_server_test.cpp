#include "status_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
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

  table.record_peer(v4(0x0A000002), "beta", 8.0f);
  table.record_peer(v4(0x0A000003), "gamma", 16.0f);
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
    table.record_peer(v4(0x0A000002), c.host, 8.0f);
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
    for (float ram : c.peer_rams) table.record_peer(v4(address++), "p", ram);
    const std::string body = R"({"self":{"host":"alpha",)" + c.after_self;
    SCOPED_TRACE(body);
    const std::string response = status_response("alpha", table, c.self_ram);
    EXPECT_EQ(response, response_for(body));
    EXPECT_FALSE(nlohmann::json::parse(body_of(response), nullptr, false)
                     .is_discarded());
  }
}

struct Pair {
  int client = -1;
  int server = -1;
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    client = fds[0];
    server = fds[1];
  }
  ~Pair() {
    if (client >= 0) close(client);
  }
  Pair(const Pair&) = delete;
  Pair& operator=(const Pair&) = delete;
};

// Everything the client can read until the other end is closed (a reset after
// unread request bytes also ends it) or `timeout` passes.
std::string read_to_end(int fd, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string got;
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
    if (n <= 0) return got;
    got.append(buffer, static_cast<size_t>(n));
  }
}

// serve_connection on a thread of its own, so that a call that never returns
// fails the test instead of hanging it: the client end is then shut down.
class Serving {
 public:
  Serving(Pair& pair, PeerTable& table, milliseconds limit)
      : pair_(pair), thread_([&pair, &table, limit, this] {
          serve_connection(pair.server, "alpha", table, 8.0f, limit);
          done_ = true;
        }) {}
  ~Serving() {
    if (thread_.joinable()) finished_within(milliseconds{0});
  }
  Serving(const Serving&) = delete;
  Serving& operator=(const Serving&) = delete;

  bool done() const { return done_; }
  bool finished_within(milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    while (!done_ && Clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds{5});
    }
    const bool in_time = done_;
    if (!in_time) shutdown(pair_.client, SHUT_RDWR);
    thread_.join();
    return in_time;
  }

 private:
  Pair& pair_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(ServeConnection, AnswersOnlyGet) {
  struct Case {
    std::string request;
    bool close_after;  // the client shuts its side after sending
    bool answered;
  };
  const std::string curl_like =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:47833\r\nUser-Agent: curl/7.88.1\r\n"
      "Accept: */*\r\nAccept-Language: en\r\n\r\n";
  ASSERT_EQ(curl_like.size(), 100u);
  const Case cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", false, true},
      {"GET", false, true},
      {"GET", true, true},
      {"GET /anything", true, true},
      {std::string("GET\0\xff", 5), false, true},
      {curl_like, false, true},
      {std::string(500, 'G').replace(1, 2, "ET"), false, true},
      {"POST / HTTP/1.1\r\n\r\n", false, false},
      {"get / HTTP/1.1\r\n\r\n", false, false},
      {"HEAD / HTTP/1.1\r\n\r\n", false, false},
      {" GET /", false, false},
      {"", true, false},
      {"GE", false, false},
      {"GE", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.request));
    Pair pair;
    PeerTable table;
    ASSERT_EQ(send(pair.client, c.request.data(), c.request.size(), 0),
              static_cast<ssize_t>(c.request.size()));
    if (c.close_after) shutdown(pair.client, SHUT_WR);
    Serving serving(pair, table, milliseconds{2000});
    EXPECT_TRUE(serving.finished_within(milliseconds{3000}));
    EXPECT_EQ(read_to_end(pair.client, milliseconds{2000}),
              c.answered ? kEmptyResponse : "");
  }
}

TEST(ServeConnection, SilentClientIsDropped) {
  Pair pair;
  PeerTable table;
  const auto start = Clock::now();
  Serving serving(pair, table, milliseconds{200});
  EXPECT_TRUE(serving.finished_within(milliseconds{2000}));
  EXPECT_GE(elapsed_ms(start), 150);
  EXPECT_EQ(read_to_end(pair.client, milliseconds{1000}), "");
  // A request sent after the limit is too late.
  EXPECT_LT(send(pair.client, "GET", 3, MSG_NOSIGNAL), 0);
}

// A client that asks and never reads holds neither the table nor the server
// beyond the time limit.
TEST(ServeConnection, StalledReaderIsBounded) {
  PeerTable table;
  for (std::uint32_t i = 0; i < 2000; ++i) {
    table.record_peer(v4(0x0A000000 + i), std::string(1000, 'h'), 1.0f);
  }
  Pair pair;
  ASSERT_EQ(send(pair.client, "GET", 3, 0), 3);
  const auto start = Clock::now();
  Serving serving(pair, table, milliseconds{1500});
  std::this_thread::sleep_for(milliseconds{100});
  const auto before_record = Clock::now();
  table.record_peer(v4(0x0B000001), "late", 2.0f);
  EXPECT_LT(elapsed_ms(before_record), 700)
      << "the lock was held during the write";
  EXPECT_FALSE(serving.done());
  EXPECT_TRUE(serving.finished_within(milliseconds{3500}));
  EXPECT_GE(elapsed_ms(start), 1400);
  const std::string got = read_to_end(pair.client, milliseconds{2000});
  EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_LT(got.size(), 2000u * 1000u);
}

}  // namespace
