#include "peer_table.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <thread>
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

// The one interface of the admission cases, which numbered() is
// inside: 10.0.0.1/24 on index 2.
const InterfaceAddress LINK{2, {{10, 0, 0, 1}}, {{255, 255, 255, 0}}};

// The stamp that record_peer gave `addr`'s entry.
MonotonicClock::time_point last_seen(PeerTable& table, const IpAddress& addr) {
  return entries(table).at(addr).last_seen;
}

// Waits until the clock has moved past `stamp`, so that the next batch is
// stamped later.
void wait_past(MonotonicClock::time_point stamp) {
  while (MonotonicClock::now() <= stamp) {
  }
}

// The hosts of `peers`, sorted.
std::vector<std::string> hosts_of(const std::vector<Peer>& peers) {
  std::vector<std::string> hosts;
  for (const Peer& peer : peers) hosts.push_back(peer.host);
  std::sort(hosts.begin(), hosts.end());
  return hosts;
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
  PeerTable empty;
  EXPECT_EQ(empty.prune_stale(MonotonicClock::now()), 0u);  // stays empty
  EXPECT_TRUE(entries(empty).empty());
  // prune_stale never reads the clock itself: each case prunes at its
  // silence after the stamp that record_peer took.
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "silent for " << c.silent.count() << " ns");
    PeerTable table;
    HeardPeer heard[] = {{numbered(1), "one", 8.0f}};
    table.record_peer(heard);
    std::vector<Peer> removed;
    EXPECT_EQ(
        table.prune_stale(last_seen(table, numbered(1)) + c.silent, &removed),
        c.kept ? 0u : 1u);
    EXPECT_EQ(entries(table).contains(numbered(1)), c.kept);
    EXPECT_EQ(hosts_of(removed), c.kept ? std::vector<std::string>{}
                                        : std::vector<std::string>{"one"});
  }
  // One pass drops some and keeps others: pruned 12 s after the first of two
  // batches, it drops that batch and keeps the one stamped later.
  PeerTable table;
  HeardPeer first[] = {{numbered(1), "one", 8.0f}, {numbered(2), "two", 8.0f}};
  table.record_peer(first);
  const MonotonicClock::time_point first_seen = last_seen(table, numbered(1));
  wait_past(first_seen);
  HeardPeer second[] = {{numbered(3), "three", 8.0f}};
  table.record_peer(second);
  std::vector<Peer> removed;
  EXPECT_EQ(table.prune_stale(first_seen + seconds{12}, &removed), 2u);
  EXPECT_EQ(hosts_of(removed), (std::vector<std::string>{"one", "two"}));
  const PeerMap left = entries(table);
  EXPECT_EQ(left.size(), 1u);
  EXPECT_TRUE(left.contains(numbered(3)));
}

// A table full of on-link peers heard more than once refuses new addresses,
// still refreshes the ones it holds, and takes new ones again once expiry
// has made room.
TEST(RecordPeer, CapacityRefusesOnlyNewAddresses) {
  struct Step {
    std::uint8_t addr;
    Recorded expected;
  };
  const std::vector<Step> batches[] = {
      {{1, Recorded::kJoined},
       {2, Recorded::kJoined},
       {1, Recorded::kRefreshed},
       {2, Recorded::kRefreshed},
       {3, Recorded::kRefused}},
      // Stamped later than the first batch; 1 is refreshed all the same.
      {{1, Recorded::kRefreshed}, {3, Recorded::kRefused}},
      // After a prune 12 s after the first batch, which drops 2 and keeps 1.
      {{3, Recorded::kJoined},
       {3, Recorded::kRefreshed},
       {4, Recorded::kRefused}},
  };
  PeerTable table(2);
  table.set_interfaces({LINK});
  MonotonicClock::time_point first_seen;
  for (std::size_t b = 0; b < std::size(batches); ++b) {
    if (b == 1) wait_past(first_seen);
    if (b == 2) {
      EXPECT_EQ(table.prune_stale(first_seen + seconds{12}), 1u);
    }
    std::vector<HeardPeer> heard;
    for (const Step& step : batches[b]) {
      heard.push_back(
          HeardPeer{numbered(step.addr), "h", 1.0f, Recorded::kIgnored, 2});
    }
    EXPECT_EQ(table.record_peer(heard), 0u);  // none displaced
    for (std::size_t i = 0; i < heard.size(); ++i) {
      EXPECT_EQ(heard[i].recorded, batches[b][i].expected)
          << "batch " << b << ", address " << int{batches[b][i].addr};
    }
    if (b == 0) first_seen = last_seen(table, numbered(1));
  }
  const PeerMap left = entries(table);
  EXPECT_EQ(left.size(), 2u);
  EXPECT_GT(left.at(numbered(1)).last_seen, first_seen);
  EXPECT_TRUE(left.contains(numbered(3)));
}

// The status loop builds its document again only when read_changed says
// what it shows may have changed: a join, a leave, or a refresh with another
// host or ram bits, a displacement. A refresh with the same values and a
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
      {"a newcomer displaces an entry when full", Do::kRecord, 3, "d", 1.0f,
       true},
      {"same refresh of the newcomer", Do::kRecord, 3, "d", 1.0f, false},
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
        table.record_peer(std::span(&heard, 1));
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
  EXPECT_EQ(visits, 13u);  // the first read and the 12 changes
}

// A full table gives way in a fixed order: entries not on-link heard once,
// then entries not on-link, then on-link entries heard once, the least
// recently heard first in each; it refuses only when every entry is on-link
// and heard more than once. Each row is heard one announcement at a time into
// a table of 4: an upper-case name from 10.0.0.N on index 2 (on-link), a
// lower-case one from 192.0.2.N (not), both N the letter's place; a `via` of
// 3 hears it on another interface, which is never on-link.
TEST(RecordPeer, FullTableDisplacesInOrderOfClass) {
  struct Heard {
    char name;
    Recorded expected;
    char displaced = 0;  // the entry that gave way to it, if any
    int via = 2;
  };
  const struct {
    const char* what;
    std::vector<Heard> heard;
    const char* left;  // the names in the table at the end, sorted
  } rows[] = {
      {"not on-link and heard once goes first, the oldest first",
       {{'a', Recorded::kJoined},
        {'B', Recorded::kJoined},
        {'c', Recorded::kJoined},
        {'D', Recorded::kJoined},
        {'E', Recorded::kJoined, 'a'},
        {'f', Recorded::kJoined, 'c'},
        {'g', Recorded::kJoined, 'f'}},
       "BDEg"},
      {"then not on-link heard again, in the order last heard",
       {{'a', Recorded::kJoined},
        {'b', Recorded::kJoined},
        {'C', Recorded::kJoined},
        {'D', Recorded::kJoined},
        {'b', Recorded::kRefreshed},
        {'a', Recorded::kRefreshed},
        {'E', Recorded::kJoined, 'b'},
        {'f', Recorded::kJoined, 'a'},  // before E, on-link and heard once
        {'g', Recorded::kJoined, 'f'}},
       "CDEg"},
      {"then on-link heard once, even for an address not on-link",
       {{'A', Recorded::kJoined},
        {'B', Recorded::kJoined},
        {'C', Recorded::kJoined},
        {'D', Recorded::kJoined},
        {'A', Recorded::kRefreshed},
        {'C', Recorded::kRefreshed},
        {'e', Recorded::kJoined, 'B'},
        {'F', Recorded::kJoined, 'e'},
        {'G', Recorded::kJoined, 'D'}},
       "ACFG"},
      {"refused only when all are on-link and heard again",
       {{'A', Recorded::kJoined},
        {'B', Recorded::kJoined},
        {'C', Recorded::kJoined},
        {'D', Recorded::kJoined},
        {'D', Recorded::kRefreshed},
        {'B', Recorded::kRefreshed},
        {'C', Recorded::kRefreshed},
        {'A', Recorded::kRefreshed},
        {'e', Recorded::kRefused},
        {'E', Recorded::kRefused},
        {'A', Recorded::kRefreshed}},
       "ABCD"},
      {"the flag is decided again by each refresh",
       {{'A', Recorded::kJoined},
        {'B', Recorded::kJoined},
        {'C', Recorded::kJoined},
        {'D', Recorded::kJoined},
        {'B', Recorded::kRefreshed},
        {'C', Recorded::kRefreshed},
        {'D', Recorded::kRefreshed},
        {'A', Recorded::kRefreshed, 0, 3},  // now heard on another interface
        {'E', Recorded::kJoined, 'A'},
        {'A', Recorded::kJoined, 'E', 3},
        {'F', Recorded::kJoined, 'A'}},
       "BCDF"},
      {"an on-link peer that joins during a flood stays",
       {{'A', Recorded::kJoined},
        {'A', Recorded::kRefreshed},
        {'x', Recorded::kJoined},
        {'y', Recorded::kJoined},
        {'B', Recorded::kJoined},
        {'z', Recorded::kJoined, 'x'},
        {'w', Recorded::kJoined, 'y'},
        {'v', Recorded::kJoined, 'z'},
        {'B', Recorded::kRefreshed},
        {'u', Recorded::kJoined, 'w'}},
       "ABuv"},
  };
  const auto address_of = [](char name) {
    IpAddress addr;
    if (name >= 'A' && name <= 'Z') {
      addr.bytes = {10, 0, 0, static_cast<std::uint8_t>(name - 'A' + 1)};
    } else {
      addr.bytes = {192, 0, 2, static_cast<std::uint8_t>(name - 'a' + 1)};
    }
    return addr;
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    PeerTable table(4);
    table.set_interfaces({LINK});
    for (std::size_t i = 0; i < row.heard.size(); ++i) {
      const Heard& step = row.heard[i];
      const std::string host(1, step.name);
      HeardPeer heard[] = {
          {address_of(step.name), host, 1.0f, Recorded::kIgnored, step.via}};
      std::vector<Peer> displaced;
      const std::size_t count = table.record_peer(heard, &displaced);
      EXPECT_EQ(heard[0].recorded, step.expected) << "step " << i;
      const std::string gone =
          step.displaced == 0 ? "" : std::string(1, step.displaced);
      EXPECT_EQ(count, gone.size()) << "step " << i;
      std::string displaced_hosts;
      for (const Peer& peer : displaced) displaced_hosts += peer.host;
      EXPECT_EQ(displaced_hosts, gone) << "step " << i;
    }
    std::vector<Peer> left;
    table.read([&](const PeerMap& peers) {
      for (const auto& [addr, peer] : peers) left.push_back(peer);
    });
    std::string names;
    for (const std::string& host : hosts_of(left)) names += host;
    EXPECT_EQ(names, row.left);
  }
}

TEST(IsOnLink, SourceInsideASubnetOfTheArrivalInterface) {
  const std::vector<InterfaceAddress> addresses = {
      {1, {{127, 0, 0, 1}}, {{255, 0, 0, 0}}},
      {2, {{10, 0, 0, 1}}, {{255, 255, 255, 0}}},
      {2, {{172, 16, 5, 9}}, {{255, 255, 0, 0}}},  // a second address
      {3, {{192, 168, 7, 7}}, {{255, 255, 255, 255}}},
      {4, {{10, 1, 0, 1}}, {{255, 255, 255, 252}}},
  };
  const struct {
    int ifindex;
    IpAddress source;
    bool on_link;
  } cases[] = {
      {2, {{10, 0, 0, 77}}, true},
      {2, {{10, 0, 0, 255}}, true},
      {2, {{10, 0, 1, 77}}, false},
      {2, {{172, 16, 200, 1}}, true},
      {2, {{172, 17, 0, 1}}, false},
      {3, {{10, 0, 0, 77}}, false},  // another interface's subnet
      {0, {{10, 0, 0, 77}}, false},  // the interface is not known
      {9, {{10, 0, 0, 77}}, false},
      {1, {{127, 200, 3, 4}}, true},
      {3, {{192, 168, 7, 7}}, true},  // a /32 holds its own address only
      {3, {{192, 168, 7, 8}}, false},
      {4, {{10, 1, 0, 2}}, true},
      {4, {{10, 1, 0, 3}}, true},
      {4, {{10, 1, 0, 4}}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_on_link(addresses, c.ifindex, c.source), c.on_link)
        << c.source.to_string() << " on " << c.ifindex;
  }
  EXPECT_FALSE(is_on_link({}, 2, {{10, 0, 0, 77}}));
}

TEST(RecordPeer, ReplacesTheWholeEntryAndStampsTheTime) {
  PeerTable table;
  const IpAddress addr = v4("192.168.1.20");
  const std::string long_host(40, 'a');
  HeardPeer heard[] = {{addr, long_host, 8.0f}, {addr, "", -0.0f}};
  const auto before = MonotonicClock::now();
  table.record_peer(heard);
  const auto after = MonotonicClock::now();
  EXPECT_EQ(heard[0].recorded, Recorded::kJoined);
  EXPECT_EQ(heard[1].recorded, Recorded::kRefreshed);
  const PeerMap peers = entries(table);
  ASSERT_EQ(peers.size(), 1u);
  const Peer& peer = peers.at(addr);
  EXPECT_EQ(peer.host, "");
  EXPECT_EQ(std::bit_cast<std::uint32_t>(peer.ram), 0x80000000u);
  EXPECT_EQ(peer.addr, addr);
  EXPECT_GE(peer.last_seen, before);
  EXPECT_LE(peer.last_seen, after);
}

TEST(IpAddress, IsKeyedByAllFourBytes) {
  PeerTable table;
  // Each differs from 1.2.3.4 in one byte, or in their order.
  const IpAddress addresses[] = {v4("1.2.3.4"), v4("1.2.3.5"), v4("1.2.4.4"),
                                 v4("1.3.3.4"), v4("2.2.3.4"), v4("4.3.2.1")};
  std::vector<std::string> texts;
  std::vector<HeardPeer> heard;
  for (const IpAddress& addr : addresses) texts.push_back(addr.to_string());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    heard.push_back(HeardPeer{addresses[i], texts[i], 1.0f});
  }
  table.record_peer(heard);
  const PeerMap peers = entries(table);
  EXPECT_EQ(peers.size(), std::size(addresses));
  EXPECT_EQ(peers.at(v4("1.2.3.4")).host, "1.2.3.4");
  EXPECT_EQ(peers.at(v4("1.2.3.5")).host, "1.2.3.5");
  EXPECT_EQ(peers.at(v4("4.3.2.1")).host, "4.3.2.1");
}

// What `run` writes to standard error, read as it is written so that a long
// output never fills the pipe.
template <typename Run>
std::string stderr_of(Run run) {
  int pipe_fds[2];
  EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  std::string text;
  std::thread reader([&text, fd = pipe_fds[0]] {
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
  });
  const int saved = dup(STDERR_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  close(pipe_fds[1]);
  run();
  dup2(saved, STDERR_FILENO);
  close(saved);
  reader.join();
  close(pipe_fds[0]);
  return text;
}

// What PeerLog writes to standard error for changes at the given times.
std::string peer_log_output(
    const std::vector<std::pair<milliseconds, std::string>>& changes,
    milliseconds flush_at) {
  const MonotonicClock::time_point start =
      MonotonicClock::time_point{} + seconds{5000};
  return stderr_of([&] {
    PeerLog log;
    for (const auto& [at, line] : changes) {
      if (log.lines.admit(start + at)) log_line(line);
    }
    log.lines.flush(start + flush_at);
  });
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

// Threads that wrote at the same new second used to let a line through
// uncounted when one of them lost the race to open that second.
TEST(PeerLog, AtMostTwentyLinesASecondFromThreadsAtOnce) {
  constexpr int THREADS = 2;
  constexpr int SECONDS = 500;
  constexpr int LINES = 12;  // per thread and second: 24 for a budget of 20
  const MonotonicClock::time_point start =
      MonotonicClock::time_point{} + seconds{7000};
  const std::string text = stderr_of([&] {
    PeerLog log;
    // A second's lines begin once every thread has written the one before,
    // all at one moment a little later: the threads watch the clock for it
    // rather than each other, so that none of them starts first.
    std::atomic<int> arrived{0};
    std::atomic<int> opened{0};
    std::atomic<MonotonicClock::rep> go{0};
    const auto ticks = [] {
      return MonotonicClock::now().time_since_epoch().count();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
      threads.emplace_back([&, t] {
        // On a processor each, when there are two, so that they can meet.
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(t, &cpus);
        (void)pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus);
        for (int s = 0; s < SECONDS; ++s) {
          std::string line = "s";
          line.append(std::to_string(s)).append(" t").append(std::to_string(t));
          if (arrived.fetch_add(1) + 1 == THREADS * (s + 1)) {
            go.store(ticks() + nanoseconds{20000}.count());
            opened.store(s + 1);
          }
          while (opened.load() <= s) std::this_thread::yield();
          while (ticks() < go.load()) {
          }
          for (int i = 0; i < LINES; ++i) {
            if (log.lines.admit(start + seconds{s} + milliseconds{i})) {
              log_line(line);
            }
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    log.lines.flush(start + seconds{SECONDS});
  });
  std::vector<int> shown(SECONDS, 0);
  std::size_t held_back = 0;
  std::size_t begin = 0;
  for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos;
       begin = end + 1) {
    const std::string line = text.substr(begin, end - begin);
    ASSERT_TRUE(line.starts_with("[pim-node] ")) << line;
    const std::string rest = line.substr(std::strlen("[pim-node] "));
    if (rest.starts_with("s")) {
      const int second = std::stoi(rest.substr(1));
      ASSERT_TRUE(second >= 0 && second < SECONDS) << line;
      ++shown[second];
    } else {
      ASSERT_TRUE(rest.ends_with(" more peer changes not shown")) << line;
      held_back += std::stoul(rest);
    }
  }
  int wrong = 0;  // seconds that did not show exactly 20 lines
  for (int s = 0; s < SECONDS; ++s) {
    if (shown[s] == 20) continue;
    if (wrong++ == 0) ADD_FAILURE() << shown[s] << " lines in second " << s;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(held_back, std::size_t{(THREADS * LINES - 20) * SECONDS});
}

// The listener's lines for what it recorded: with --log-peers a left line
// for each displaced entry and a join line for each new one; with or without
// it the table-full line at the first displacement or refusal, then at most
// once a minute with what happened since the last one, written by a later
// batch or a receive timeout.
TEST(ReportRecorded, JoinsWhenLoggedAndTableFullOnceAMinute) {
  const MonotonicClock::time_point start =
      MonotonicClock::time_point{} + seconds{9000};
  const std::string full = "[pim-node] peer table full (16384 peers): ";
  const struct {
    milliseconds at;
    bool batch;  // a batch of four, one displacing; else a timeout
    std::string table_full;
  } steps[] = {
      {milliseconds{0}, true,
       "1 entries displaced, 2 announcements from new addresses refused"},
      {milliseconds{1000}, true, ""},
      {milliseconds{59999}, true, ""},
      {milliseconds{60000}, true,
       "3 entries displaced, 6 announcements from new addresses refused"},
      {milliseconds{60500}, true, ""},
      {milliseconds{150000}, true,
       "2 entries displaced, 4 announcements from new addresses refused"},
      {milliseconds{150001}, true, ""},
      {milliseconds{209999}, false, ""},
      {milliseconds{210000}, false,
       "1 entries displaced, 2 announcements from new addresses refused"},
      {milliseconds{400000}, false, ""},  // nothing untold
  };
  for (const bool log_peers : {false, true}) {
    SCOPED_TRACE(log_peers ? "--log-peers" : "without --log-peers");
    std::string expected;
    const std::string text = stderr_of([&] {
      PeerLog log;
      TableFullLog table_full;
      for (const auto& step : steps) {
        const MonotonicClock::time_point now = start + step.at;
        if (step.batch) {
          const HeardPeer heard[] = {
              {numbered(1), "one", 1.0f, Recorded::kJoined},
              {numbered(2), "two", 1.0f, Recorded::kRefreshed},
              {numbered(3), "three", 1.0f, Recorded::kRefused},
              {numbered(4), "four", 1.0f, Recorded::kRefused},
          };
          const Peer displaced[] = {
              {"five", 1.0f, now - milliseconds{3500}, numbered(5)}};
          report_recorded(heard, 1,
                          log_peers ? std::span<const Peer>(displaced)
                                    : std::span<const Peer>(),
                          16384, log_peers ? &log : nullptr, table_full, now);
          if (log_peers) {
            expected +=
                "[pim-node] peer left: 10.0.0.5 five (silent 3 s)\n"
                "[pim-node] peer joined: 10.0.0.1 one\n";
          }
        } else {
          report_table_full(table_full, 16384, now);
        }
        if (!step.table_full.empty()) {
          expected += full + step.table_full + " in the last minute\n";
        }
      }
    });
    EXPECT_EQ(text, expected);
  }
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
