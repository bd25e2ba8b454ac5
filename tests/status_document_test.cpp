#include "status_document.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr char kHeadPrefix[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ";
constexpr char kHeadSuffix[] = "\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
constexpr char kEmptyResponse[] =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
    "62\r\nAccess-Control-Allow-Origin: *\r\n\r\n"
    R"({"self":{"host":"alpha","ram":8.0},"peers":[],"total_ram":8.0})";

// Peers as the table holds them, under 10.0.0.2, 10.0.0.3, … in the order
// given; the map's own order is the order they are listed in.
PeerMap peers_of(const std::vector<std::pair<std::string, float>>& entries) {
  PeerMap peers;
  std::uint32_t address = 0x0A000002;
  for (const auto& [host, ram] : entries) {
    in_addr addr{};
    addr.s_addr = htonl(address++);
    const IpAddress key = IpAddress::from_v4(addr);
    peers.emplace(key, Peer{host, ram, {}, key});
  }
  return peers;
}

// The response the status loop writes for `peers`.
std::string response(std::string_view host, const PeerMap& peers, float ram) {
  return status_response(status_document(host, peers, ram));
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
  EXPECT_EQ(response("alpha", {}, 8.0f), kEmptyResponse);

  const PeerMap peers = peers_of({{"beta", 8.0f}, {"gamma", 16.0f}});
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
      "116\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  const std::string beta = R"({"host":"beta","ram":8.0})";
  const std::string gamma = R"({"host":"gamma","ram":16.0})";
  const std::string self = R"({"self":{"host":"alpha","ram":8.0},"peers":[)";
  const std::string total = R"(],"total_ram":32.0})";
  const std::string got = response("alpha", peers, 8.0f);
  EXPECT_TRUE(got == head + self + beta + "," + gamma + total ||
              got == head + self + gamma + "," + beta + total)
      << got;
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
    const std::string expected_body =
        R"({"self":{"host":")" + c.written +
        R"(","ram":8.0},"peers":[],"total_ram":8.0})";
    EXPECT_EQ(response(c.host, {}, 8.0f), response_for(expected_body));

    const std::string body =
        body_of(response(c.host, peers_of({{c.host, 8.0f}}), 8.0f));
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
    std::vector<std::pair<std::string, float>> entries;
    for (float ram : c.peer_rams) entries.emplace_back("p", ram);
    const std::string body = R"({"self":{"host":"alpha",)" + c.after_self;
    SCOPED_TRACE(body);
    const std::string got = response("alpha", peers_of(entries), c.self_ram);
    EXPECT_EQ(got, response_for(body));
    EXPECT_FALSE(
        nlohmann::json::parse(body_of(got), nullptr, false).is_discarded());
  }
}

}  // namespace
