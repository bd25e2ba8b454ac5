#include "peer_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <bit>
#include <chrono>
#include <cstdint>
#include <string>

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;

IpAddress v4(const char* text) {
  in_addr addr{};
  EXPECT_EQ(inet_pton(AF_INET, text, &addr), 1) << text;
  return IpAddress::from_v4(addr);
}

IpAddress v6(const char* text) {
  in6_addr addr{};
  EXPECT_EQ(inet_pton(AF_INET6, text, &addr), 1) << text;
  return IpAddress::from_v6(addr);
}

TEST(PruneStale, DropsPeersSilentForTwelveWholeSecondsOrMore) {
  struct Case {
    nanoseconds silent;
    bool kept;
  };
  const Case cases[] = {
      {seconds{0}, true},
      {milliseconds{11999}, true},
      {nanoseconds{11'999'999'999}, true},  // the fraction is discarded
      {seconds{12}, false},
      {milliseconds{12001}, false},
      {seconds{3600}, false},
  };
  // Any fixed reading will do: prune_stale never reads the clock itself.
  const MonotonicClock::time_point now =
      MonotonicClock::time_point{} + seconds{100000};
  PeerTable table;
  MutexLock lock(table.mutex);
  prune_stale(table, now);  // an empty table stays empty
  EXPECT_TRUE(table.peers.empty());
  for (std::uint8_t i = 0; i < std::size(cases); ++i) {
    IpAddress addr;
    addr.bytes = {10, 0, 0, i};
    table.peers[addr] =
        Peer{"host" + std::to_string(i), 8.0f, now - cases[i].silent, addr};
  }
  prune_stale(table, now);
  std::size_t kept = 0;
  for (std::uint8_t i = 0; i < std::size(cases); ++i) {
    IpAddress addr;
    addr.bytes = {10, 0, 0, i};
    const bool present = table.peers.contains(addr);
    EXPECT_EQ(present, cases[i].kept)
        << "silent for " << cases[i].silent.count() << " ns";
    if (present) ++kept;
  }
  EXPECT_EQ(table.peers.size(), kept);
}

TEST(RecordPeer, ReplacesTheWholeEntryAndStampsTheTime) {
  PeerTable table;
  const IpAddress addr = v4("192.168.1.20");
  const auto before = MonotonicClock::now();
  record_peer(table, addr, "alpha", 8.0f);
  record_peer(table, addr, "", -0.0f);
  const auto after = MonotonicClock::now();
  MutexLock lock(table.mutex);
  ASSERT_EQ(table.peers.size(), 1u);
  const Peer& peer = table.peers.at(addr);
  EXPECT_EQ(peer.host, "");
  EXPECT_EQ(std::bit_cast<std::uint32_t>(peer.ram), 0x80000000u);
  EXPECT_EQ(peer.addr, addr);
  EXPECT_GE(peer.last_seen, before);
  EXPECT_LE(peer.last_seen, after);
}

TEST(IpAddress, IsKeyedByFamilyAndAllBytes) {
  PeerTable table;
  // 1.2.3.4 and 102:304:: share their first four bytes.
  const IpAddress addresses[] = {v4("1.2.3.4"), v6("102:304::"), v4("1.2.3.5"),
                                 v6("::ffff:1.2.3.4"), v6("102:304::1")};
  for (const IpAddress& addr : addresses) {
    record_peer(table, addr, addr.to_string(), 1.0f);
  }
  MutexLock lock(table.mutex);
  EXPECT_EQ(table.peers.size(), std::size(addresses));
  EXPECT_EQ(table.peers.at(v4("1.2.3.4")).host, "1.2.3.4");
  EXPECT_EQ(table.peers.at(v6("102:304::")).host, "102:304::");
  EXPECT_EQ(table.peers.at(v6("::ffff:1.2.3.4")).host, "::ffff:1.2.3.4");
}

}  // namespace
