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
    for (const auto& [at, line] : changes) log.write(line, start + at);
    log.flush(start + flush_at);
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
            log.write(line, start + seconds{s} + milliseconds{i});
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    log.flush(start + seconds{SECONDS});
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
