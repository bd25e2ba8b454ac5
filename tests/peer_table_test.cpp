#include "peer_table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "peer_log.h"

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

// A copy of every entry, taken through the table's one read operation.
PeerMap entries(PeerTable& table) {
  PeerMap copy;
  table.read([&](const PeerMap& peers) { copy = peers; });
  return copy;
}

IpAddress numbered(std::uint8_t i) {
  IpAddress addr;
  addr.bytes = {10, 0, 0, i};
  return addr;
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
  EXPECT_EQ(table.prune_stale(now), 0u);  // an empty table stays empty
  EXPECT_TRUE(entries(table).empty());
  for (std::uint8_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(table.record_peer(numbered(i), "host" + std::to_string(i), 8.0f,
                                now - cases[i].silent),
              Recorded::kJoined);
  }
  std::vector<Peer> removed;
  EXPECT_EQ(table.prune_stale(now, &removed), 3u);
  const PeerMap left = entries(table);
  for (std::uint8_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(left.contains(numbered(i)), cases[i].kept)
        << "silent for " << cases[i].silent.count() << " ns";
  }
  EXPECT_EQ(left.size(), 3u);
  ASSERT_EQ(removed.size(), 3u);
  std::vector<std::string> removed_hosts;
  for (const Peer& peer : removed) removed_hosts.push_back(peer.host);
  std::sort(removed_hosts.begin(), removed_hosts.end());
  EXPECT_EQ(removed_hosts,
            (std::vector<std::string>{"host3", "host4", "host5"}));
}

// A full table refuses new addresses, still refreshes the ones it holds, and
// takes new ones again once expiry has made room.
TEST(RecordPeer, CapacityRefusesOnlyNewAddresses) {
  const MonotonicClock::time_point start =
      MonotonicClock::time_point{} + seconds{1000};
  struct Step {
    std::uint8_t addr;
    seconds at;  // after start
    Recorded expected;
  };
  const Step steps[] = {
      {1, seconds{0}, Recorded::kJoined},
      {2, seconds{5}, Recorded::kJoined},
      {3, seconds{6}, Recorded::kRefused},    // full
      {1, seconds{7}, Recorded::kRefreshed},  // known: refreshed all the same
      {3, seconds{8}, Recorded::kRefused},
      // At 17 s the prune below drops 2 (silent 12 s) and keeps 1 (10 s).
      {3, seconds{17}, Recorded::kJoined},
      {4, seconds{17}, Recorded::kRefused},
  };
  PeerTable table(2);
  for (const Step& step : steps) {
    if (step.at == seconds{17}) table.prune_stale(start + seconds{17});
    EXPECT_EQ(
        table.record_peer(numbered(step.addr), "h", 1.0f, start + step.at),
        step.expected)
        << "address " << int{step.addr} << " at " << step.at.count() << " s";
  }
  const PeerMap left = entries(table);
  EXPECT_EQ(left.size(), 2u);
  EXPECT_EQ(left.at(numbered(1)).last_seen, start + seconds{7});
  EXPECT_TRUE(left.contains(numbered(3)));
}

// The status loop builds its document again only when read_changed says
// what it shows may have changed: a join, a leave, or a refresh with another
// host or ram bits. A refresh with the same values, a refused newcomer and a
// prune that removes nothing change nothing.
TEST(ReadChanged, MovesWithWhatTheDocumentShows) {
  const float nan = std::bit_cast<float>(0x7fc00000u);
  const float other_nan = std::bit_cast<float>(0x7fc00001u);
  enum class Do { kRecord, kPruneNone, kPruneAll };
  struct Step {
    const char* what;
    Do action;
    std::uint8_t addr;
    const char* host;
    float ram;
    bool changed;
  };
  const Step steps[] = {
      {"join", Do::kRecord, 1, "a", 1.0f, true},
      {"same refresh", Do::kRecord, 1, "a", 1.0f, false},
      {"other host", Do::kRecord, 1, "b", 1.0f, true},
      {"longer host", Do::kRecord, 1, "bb", 1.0f, true},
      {"other ram", Do::kRecord, 1, "bb", 2.0f, true},
      {"ram NaN", Do::kRecord, 1, "bb", nan, true},
      {"NaN of the same bits", Do::kRecord, 1, "bb", nan, false},
      {"NaN of other bits", Do::kRecord, 1, "bb", other_nan, true},
      {"zero", Do::kRecord, 1, "bb", 0.0f, true},
      {"negative zero", Do::kRecord, 1, "bb", -0.0f, true},
      {"second join", Do::kRecord, 2, "c", 1.0f, true},
      {"refused: full", Do::kRecord, 3, "d", 1.0f, false},
      {"same refresh of the second", Do::kRecord, 2, "c", 1.0f, false},
      {"prune that keeps all", Do::kPruneNone, 0, "", 0.0f, false},
      {"expiry", Do::kPruneAll, 0, "", 0.0f, true},
      {"prune of an empty table", Do::kPruneAll, 0, "", 0.0f, false},
      {"join after expiry", Do::kRecord, 3, "d", 1.0f, true},
  };
  PeerTable table(2);
  std::uint64_t seen = 0;
  std::size_t visits = 0;
  const auto read = [&] {
    return table.read_changed(seen, [&](const PeerMap&) { ++visits; });
  };
  EXPECT_TRUE(read());  // nothing seen yet
  EXPECT_FALSE(read());
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    switch (step.action) {
      case Do::kRecord: {
        HeardPeer heard{numbered(step.addr), step.host, step.ram};
        table.record_peers(std::span(&heard, 1));
        break;
      }
      case Do::kPruneNone:
        EXPECT_EQ(table.prune_stale(MonotonicClock::now()), 0u);
        break;
      case Do::kPruneAll:
        table.prune_stale(MonotonicClock::now() + PEER_EXPIRY);
        break;
    }
    EXPECT_EQ(read(), step.changed);
    EXPECT_FALSE(read());  // seen is up to date
  }
  EXPECT_EQ(visits, 12u);  // the first read and the 11 changes
}

TEST(RecordPeer, ReplacesTheWholeEntryAndStampsTheTime) {
  PeerTable table;
  const IpAddress addr = v4("192.168.1.20");
  const auto before = MonotonicClock::now();
  EXPECT_EQ(table.record_peer(addr, std::string(40, 'a'), 8.0f),
            Recorded::kJoined);
  EXPECT_EQ(table.record_peer(addr, "", -0.0f), Recorded::kRefreshed);
  const auto after = MonotonicClock::now();
  const PeerMap peers = entries(table);
  ASSERT_EQ(peers.size(), 1u);
  const Peer& peer = peers.at(addr);
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
    table.record_peer(addr, addr.to_string(), 1.0f);
  }
  const PeerMap peers = entries(table);
  EXPECT_EQ(peers.size(), std::size(addresses));
  EXPECT_EQ(peers.at(v4("1.2.3.4")).host, "1.2.3.4");
  EXPECT_EQ(peers.at(v6("102:304::")).host, "102:304::");
  EXPECT_EQ(peers.at(v6("::ffff:1.2.3.4")).host, "::ffff:1.2.3.4");
}

// What PeerLog writes to standard error for changes at the given times.
std::string peer_log_output(
    const std::vector<std::pair<milliseconds, std::string>>& changes,
    milliseconds flush_at) {
  int pipe_fds[2];
  EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK), 0);
  const int saved = dup(STDERR_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  const MonotonicClock::time_point start =
      MonotonicClock::time_point{} + seconds{5000};
  PeerLog log;
  for (const auto& [at, line] : changes) log.write(line, start + at);
  log.flush(start + flush_at);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(pipe_fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_fds[0]);
  return text;
}

TEST(PeerLog, AtMostTwentyLinesASecondThenOneSummary) {
  std::vector<std::pair<milliseconds, std::string>> changes;
  std::string expected;
  // 23 changes in the first second: 20 shown, 3 held back.
  for (int i = 0; i < 23; ++i) {
    const std::string line = "change " + std::to_string(i);
    changes.emplace_back(milliseconds{40 * i}, line);
    if (i < 20) expected += "[pim-node] " + line + "\n";
  }
  // The first change of the next second brings the summary in front of it.
  changes.emplace_back(milliseconds{1500}, "late");
  expected += "[pim-node] 3 more peer changes not shown\n[pim-node] late\n";
  // 21 changes in the third second: the one held back is summed by the
  // flush of a later housekeeping cycle, without a change of its own.
  for (int i = 0; i < 21; ++i) {
    const std::string line = "again " + std::to_string(i);
    changes.emplace_back(milliseconds{2000 + i}, line);
    if (i < 20) expected += "[pim-node] " + line + "\n";
  }
  expected += "[pim-node] 1 more peer changes not shown\n";
  EXPECT_EQ(peer_log_output(changes, milliseconds{5000}), expected);
  // A flush within the same second writes nothing yet.
  EXPECT_EQ(peer_log_output({{milliseconds{0}, "a"}, {milliseconds{1}, "b"}},
                            milliseconds{900}),
            "[pim-node] a\n[pim-node] b\n");
}

TEST(PeerLog, LinesEscapeTheHost) {
  IpAddress addr;
  addr.bytes = {10, 0, 0, 7};
  EXPECT_EQ(format_peer_joined(addr, "al\npha \"x\""),
            "peer joined: 10.0.0.7 al\\npha \\\"x\\\"");
  const MonotonicClock::time_point now =
      MonotonicClock::time_point{} + seconds{100};
  const Peer peer{"beta", 1.0f, now - milliseconds{13900}, addr};
  EXPECT_EQ(format_peer_left(peer, now),
            "peer left: 10.0.0.7 beta (silent 13 s)");
}

}  // namespace
