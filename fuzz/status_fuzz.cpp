// The status response built from arbitrary peer hosts (valid UTF-8, as the
// listener only records valid text) and arbitrary ram bits: a JSON parser
// must accept the body, the hosts must come back equal to the stored text,
// non-finite figures must be null and Content-Length must count the body.

#include <arpa/inet.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "peer_table.h"
#include "status_server.h"
#include "utf8.h"

namespace {

struct Input {
  std::string_view rest;

  std::uint8_t byte() {
    if (rest.empty()) return 0;
    const auto value = static_cast<std::uint8_t>(rest.front());
    rest.remove_prefix(1);
    return value;
  }
  float ram() {
    std::uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits = bits << 8 | byte();
    return std::bit_cast<float>(bits);
  }
  std::string host() {
    const std::size_t length = std::min<std::size_t>(byte(), rest.size());
    const std::string text = decode_utf8_lossy(rest.substr(0, length));
    rest.remove_prefix(length);
    return text;
  }
};

void check_ram(const nlohmann::json& value, float ram) {
  if (std::isfinite(ram) != value.is_number()) std::abort();
  if (!std::isfinite(ram) && !value.is_null()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  Input input{std::string_view(reinterpret_cast<const char*>(data), size)};
  const std::string self_host = input.host();
  const float self_ram = input.ram();
  const int peer_count = input.byte() % 9;
  PeerTable table;
  std::map<std::string, float> expected;
  float total = -0.0f;
  for (int i = 0; i < peer_count; ++i) {
    // A distinct prefix pairs each listed entry with its stored ram.
    const std::string host = std::to_string(i) + ":" + input.host();
    const float ram = input.ram();
    in_addr address{};
    address.s_addr = htonl(0x0A000000u + static_cast<std::uint32_t>(i));
    HeardPeer heard[] = {{IpAddress::from_v4(address), host, ram}};
    table.record_peer(heard);
    expected.emplace(host, ram);
  }
  const std::string response = status_response(self_host, table, self_ram);

  const std::size_t blank = response.find("\r\n\r\n");
  if (blank == std::string::npos) std::abort();
  const std::string body = response.substr(blank + 4);
  const std::string length_header =
      "Content-Length: " + std::to_string(body.size()) + "\r\n";
  if (response.find(length_header) == std::string::npos) std::abort();

  const nlohmann::json document = nlohmann::json::parse(body);  // throws: crash
  if (document.at("self").at("host") != self_host) std::abort();
  check_ram(document.at("self").at("ram"), self_ram);
  const auto& peers = document.at("peers");
  if (peers.size() != expected.size()) std::abort();
  for (const auto& peer : peers) {
    const auto it = expected.find(peer.at("host").get<std::string>());
    if (it == expected.end()) std::abort();
    check_ram(peer.at("ram"), it->second);
    // Summed in the listed order, which is the order the node sums in.
    total += it->second;
    expected.erase(it);
  }
  total += self_ram;
  check_ram(document.at("total_ram"), total);
  return 0;
}
