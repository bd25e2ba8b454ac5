// Micro-benchmarks of the node's library, each beside a reference that does
// the same job the plain way, measured in the same run:
//   parse_announcement       the listener's work for one datagram
//                            (read_datagram, then record_peer) vs
//                            record_peer alone (the insert it ends in)
//   parse_ram                vs the C library's strtof_l alone
//   format_fixed             vs snprintf("%.1f")
//   ResponseCache::get(N peers) vs the same bytes built with snprintf
//   unsigned_at_keyed_node   the keyed listener's work for an unsigned
//                            datagram vs parse_announcement_typical, the
//                            same datagram at a node without a key
//   record_peer displacing   a batch of new addresses into a full table of
//                            off-link entries vs the same batch refreshing
//                            addresses already in it
// Every benchmark also reports the minimum over repetitions ("_min"), the
// figure least disturbed by other work on a shared machine.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <locale.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "discovery.h"
#include "peer_table.h"
#include "room_key.h"
#include "status_document.h"
#include "text_format.h"

namespace {

constexpr std::string_view ROOM = "lab";
constexpr std::string_view SELF_HOST = "alpha";
constexpr std::string_view TYPICAL = "MORUN-MESH|lab|alpha|8.00|1";

IpAddress address_of(std::uint32_t n) {
  in_addr addr{};
  addr.s_addr = htonl(0x0A000000u + n);  // 10.0.0.0 + n, never sent anywhere
  return IpAddress::from_v4(addr);
}

// A 256-byte announcement: the host name fills what the other fields leave.
std::string long_announcement() {
  const std::string head = "MORUN-MESH|lab|";
  const std::string tail = "|8.00|1";
  return head + std::string(256 - head.size() - tail.size(), 'h') + tail;
}

std::string host_of(std::string_view announcement) {
  const std::size_t start = announcement.find('|', 11) + 1;
  return std::string(
      announcement.substr(start, announcement.find('|', start) - start));
}

double minimum(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

// Each datagram recorded as a batch of one: the listener's slowest case,
// with the lock and the clock reading paid for each datagram.
void parse_announcement_bench(benchmark::State& state,
                              const std::string& text) {
  PeerTable table;
  const IpAddress sender = address_of(1);
  for (auto _ : state) {
    if (const auto announced = read_datagram(text, ROOM)) {
      HeardPeer heard[] = {{sender, announced->host, announced->ram}};
      table.record_peer(heard);
    }
  }
}

void record_peer_reference(benchmark::State& state, const std::string& text) {
  PeerTable table;
  const IpAddress sender = address_of(1);
  const std::string host = host_of(text);
  for (auto _ : state) {
    HeardPeer heard[] = {{sender, host, 8.0f}};
    table.record_peer(heard);
  }
}

void BM_parse_announcement_typical(benchmark::State& state) {
  parse_announcement_bench(state, std::string(TYPICAL));
}
void BM_ref_parse_announcement_typical(benchmark::State& state) {
  record_peer_reference(state, std::string(TYPICAL));
}
void BM_parse_announcement_256_bytes(benchmark::State& state) {
  parse_announcement_bench(state, long_announcement());
}
void BM_ref_parse_announcement_256_bytes(benchmark::State& state) {
  record_peer_reference(state, long_announcement());
}

void BM_parse_ram(benchmark::State& state) {
  std::string_view text = "8.00";
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    benchmark::DoNotOptimize(parse_ram(text));
  }
}
void BM_ref_parse_ram(benchmark::State& state) {
  const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
  const char* text = "8.00";
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    benchmark::DoNotOptimize(strtof_l(text, nullptr, c_locale));
  }
  freelocale(c_locale);
}

void BM_format_fixed(benchmark::State& state) {
  float value = 16.25f;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    benchmark::DoNotOptimize(format_fixed(value, 1));
  }
}
void BM_ref_format_fixed(benchmark::State& state) {
  float value = 16.25f;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, "%.1f",
                                     static_cast<double>(value));
    std::string text(buffer, static_cast<std::size_t>(length));
    benchmark::DoNotOptimize(text);
  }
}

// A table of `peers` peers named peer-00001 …, ram cycling through 1 to 64.
std::unique_ptr<PeerTable> filled_table(std::int64_t peers) {
  auto table = std::make_unique<PeerTable>();
  for (std::int64_t i = 0; i < peers; ++i) {
    char host[32];
    std::snprintf(host, sizeof host, "peer-%05lld", static_cast<long long>(i));
    HeardPeer heard[] = {{address_of(static_cast<std::uint32_t>(i)), host,
                          static_cast<float>(1 + i % 64)}};
    table->record_peer(heard);
  }
  return table;
}

// The status response built the plain way: snprintf for every number, no
// escaping (the host names above need none), under the same lock.
std::string reference_response(std::string_view host, PeerTable& table,
                               float ram) {
  std::string body;
  char number[64];
  table.read([&](const PeerMap& peers) {
    body.append("{\"self\":{\"host\":\"").append(host).append("\",\"ram\":");
    std::snprintf(number, sizeof number, "%.1f", static_cast<double>(ram));
    body.append(number).append("},\"peers\":[");
    float total = -0.0f;
    bool first = true;
    for (const auto& [address, peer] : peers) {
      if (!first) body.push_back(',');
      first = false;
      std::snprintf(number, sizeof number, "%.1f",
                    static_cast<double>(peer.ram));
      body.append("{\"host\":\"").append(peer.host).append("\",\"ram\":");
      body.append(number).push_back('}');
      total += peer.ram;
    }
    total += ram;
    std::snprintf(number, sizeof number, "%.1f", static_cast<double>(total));
    body.append("],\"total_ram\":").append(number).push_back('}');
  });
  char head[256];
  std::snprintf(head, sizeof head,
                "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                "Content-Length: %zu\r\nAccess-Control-Allow-Origin: *\r\n\r\n",
                body.size());
  return head + body;
}

// The response as the status loop builds it after a change of the table:
// the kept one is dropped before every request.
void BM_status_response(benchmark::State& state) {
  auto table = filled_table(state.range(0));
  ResponseCache responses;
  const auto now = MonotonicClock::now();
  const auto later = now + RESPONSE_CACHE_HOLD;
  if (*responses.get(SELF_HOST, *table, 8.0f, now) !=
      reference_response(SELF_HOST, *table, 8.0f)) {
    state.SkipWithError("the reference does not build the same bytes");
  }
  responses.expire(later);
  for (auto _ : state) {
    benchmark::DoNotOptimize(responses.get(SELF_HOST, *table, 8.0f, now));
    responses.expire(later);
  }
}
void BM_ref_status_response(benchmark::State& state) {
  auto table = filled_table(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(reference_response(SELF_HOST, *table, 8.0f));
  }
}

// A batch of RECEIVE_BATCH addresses, each recorded into a table that holds
// PEER_CAPACITY off-link entries: new addresses each time (each takes the
// place of the oldest entry, as in a spoofed-source flood), or the same
// addresses again (refreshes, the reference).
void record_full_table(benchmark::State& state, bool new_addresses) {
  PeerTable table;
  std::uint32_t next = 0;
  std::vector<HeardPeer> batch(RECEIVE_BATCH);
  const auto fill = [&] {
    for (HeardPeer& heard : batch) {
      heard = HeardPeer{address_of(next++), "flood", 8.0f};
    }
  };
  for (std::size_t i = 0; i < PEER_CAPACITY; i += RECEIVE_BATCH) {
    fill();
    table.record_peer(batch);
  }
  if (!new_addresses) next -= RECEIVE_BATCH;
  for (auto _ : state) {
    fill();
    if (!new_addresses) next -= RECEIVE_BATCH;
    benchmark::DoNotOptimize(table.record_peer(batch));
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(RECEIVE_BATCH));
}
void BM_record_peer_displacing(benchmark::State& state) {
  record_full_table(state, true);
}
void BM_ref_record_peer_displacing(benchmark::State& state) {
  record_full_table(state, false);
}

#define PIM_BENCH(function) \
  BENCHMARK(function)->ComputeStatistics("min", minimum)

PIM_BENCH(BM_parse_announcement_typical);
PIM_BENCH(BM_ref_parse_announcement_typical);
PIM_BENCH(BM_parse_announcement_256_bytes);
PIM_BENCH(BM_ref_parse_announcement_256_bytes);
PIM_BENCH(BM_parse_ram);
PIM_BENCH(BM_ref_parse_ram);
PIM_BENCH(BM_format_fixed);
PIM_BENCH(BM_ref_format_fixed);
PIM_BENCH(BM_record_peer_displacing);
PIM_BENCH(BM_ref_record_peer_displacing);
PIM_BENCH(BM_status_response)->Arg(10)->Arg(1000)->Arg(10000);
PIM_BENCH(BM_ref_status_response)->Arg(10)->Arg(1000)->Arg(10000);

// The keys of a two-key file, read as the node reads one; empty after
// marking `state` skipped when the file cannot be made.
RoomKeys bench_keys(benchmark::State& state) {
  char path[] = "/tmp/pim-bench-key-XXXXXX";
  const int fd = mkostemp(path, O_CLOEXEC);  // created with mode 0600
  const std::string_view file =
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\n"
      "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f\n";
  const bool written = fd >= 0 && write(fd, file.data(), file.size()) ==
                                      static_cast<ssize_t>(file.size());
  if (fd >= 0) close(fd);
  KeyFile keys = read_key_file(path);
  (void)unlink(path);
  if (!written || !keys.diagnostic.empty()) {
    state.SkipWithError("no key file");
    return {};
  }
  return std::move(keys.keys);
}

// check_tag on a 60-byte announcement (109 bytes once signed) signed with
// the first of two keys,
// from the address it was signed for: the work a keyed listener adds to
// each signed datagram.
void BM_check_tag_60_bytes(benchmark::State& state) {
  const RoomKeys keys = bench_keys(state);
  if (keys.empty()) return;
  const std::string head = "MORUN-MESH|lab|";
  const std::string tail = "|8.00|1";
  const std::string payload =
      head + std::string(60 - head.size() - tail.size(), 'h') + tail;
  in_addr source{};
  source.s_addr = htonl(0x0A090002u);  // 10.9.0.2
  const std::string datagram =
      sign_announcement(payload, source, 1767225600000, keys);
  if (check_tag(datagram, source, keys).check != TagCheck::kAccepted) {
    state.SkipWithError("the signed announcement is not accepted");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(check_tag(datagram, source, keys));
  }
}
PIM_BENCH(BM_check_tag_60_bytes);

// An unsigned announcement at a node with a room key: the listener's whole
// work for it (read_signed_datagram refuses it on its form). Its reference
// is the same datagram at a node without a key, parse_announcement_typical.
void BM_unsigned_at_keyed_node(benchmark::State& state) {
  const RoomKeys keys = bench_keys(state);
  if (keys.empty()) return;
  in_addr source{};
  source.s_addr = htonl(0x0A090002u);  // 10.9.0.2
  const std::string datagram(TYPICAL);
  if (read_signed_datagram(datagram, source, ROOM, keys, 0).check !=
      TagCheck::kUnsigned) {
    state.SkipWithError("the unsigned announcement is not refused");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        read_signed_datagram(datagram, source, ROOM, keys, 0));
  }
}
PIM_BENCH(BM_unsigned_at_keyed_node);

}  // namespace

BENCHMARK_MAIN();
