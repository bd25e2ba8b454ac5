#include "status_document.h"

#include <cmath>
#include <cstddef>
#include <utility>

#include "text_format.h"

namespace {

constexpr std::string_view HEAD =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ";
constexpr std::string_view HEAD_END =
    "\r\nAccess-Control-Allow-Origin: *\r\n\r\n";

// Host names come from the network, so they are escaped as JSON strings.
void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  append_json_escaped(out, text);
  out.push_back('"');
}

// NaN and the infinities have no JSON form; they are written as null.
void append_json_ram(std::string& out, float ram) {
  out.append(std::isfinite(ram) ? format_fixed(ram, 1) : "null");
}

}  // namespace

std::string status_document(std::string_view host, const PeerMap& peers,
                            float ram) {
  // One allocation of about the final response's size, head included, keeps
  // a large table from costing a page fault per page of every response.
  std::string document;
  std::size_t estimate = HEAD.size() + HEAD_END.size() + 20 + 96 + host.size();
  for (const auto& [address, peer] : peers) estimate += 32 + peer.host.size();
  document.reserve(estimate);
  document.append(R"({"self":{"host":)");
  append_json_string(document, host);
  document.append(R"(,"ram":)");
  append_json_ram(document, ram);
  document.append(R"(},"peers":[)");
  bool first = true;
  for (const auto& [address, peer] : peers) {
    if (!first) document.push_back(',');
    first = false;
    document.append(R"({"host":)");
    append_json_string(document, peer.host);
    document.append(R"(,"ram":)");
    append_json_ram(document, peer.ram);
    document.push_back('}');
  }
  document.append(R"(],"total_ram":)");
  append_json_ram(document, total_ram(peers, ram));
  document.push_back('}');
  return document;
}

float total_ram(const PeerMap& peers, float ram) {
  float total = -0.0f;
  for (const auto& [address, peer] : peers) total += peer.ram;
  return total + ram;
}

std::string status_response(std::string document) {
  std::string head(HEAD);
  head.append(std::to_string(document.size())).append(HEAD_END);
  document.insert(0, head);
  return document;
}

std::shared_ptr<const std::string> ResponseCache::get(
    std::string_view host, PeerTable& table, float ram,
    MonotonicClock::time_point now) {
  std::string document;
  const bool changed = table.read_changed(seen_, [&](const PeerMap& peers) {
    document = status_document(host, peers, ram);
  });
  if (changed) {
    response_ = std::make_shared<const std::string>(
        status_response(std::move(document)));
  }
  last_used_ = now;
  return response_;
}

void ResponseCache::expire(MonotonicClock::time_point now) {
  if (response_ && now - last_used_ >= RESPONSE_CACHE_HOLD) {
    response_.reset();
    seen_ = 0;
  }
}

std::optional<MonotonicClock::time_point> ResponseCache::expires_at() const {
  if (!response_) return std::nullopt;
  return last_used_ + RESPONSE_CACHE_HOLD;
}
