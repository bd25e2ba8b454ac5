// The node under a flood of sources and with its sends failing, run inside
// private network namespaces: the table's bound, the membership log's rate
// limit, another room's flood, and the lines that say why a node cannot be
// heard.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "node_harness.h"

namespace {

using harness::FakeHostname;
using harness::Namespace;
using harness::NodeOptions;
using harness::NodeProcess;
using std::chrono::milliseconds;

constexpr char kSendError[] =
    "[pim-node] broadcast send error: Network is unreachable (os error 101)\n";

// Sends `payload(i)` to 127.0.0.1:47832 inside ns from source 127.1.0.0 + i
// for i in [first, end): every 127.x address is local on lo, and IP_PKTINFO
// picks each datagram's source. Paced so that a listener that keeps up
// loses none, unless `paced` is false: a flood at the sender's full speed.
template <typename Payload>
void send_from_sources(const Namespace& ns, std::uint32_t first,
                       std::uint32_t end, Payload payload, bool paced = true) {
  ns.within([&] {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(47832);
    destination.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (std::uint32_t i = first; i < end; ++i) {
      const std::string text = payload(i);
      iovec piece{const_cast<char*>(text.data()), text.size()};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
      msghdr message{};
      message.msg_name = &destination;
      message.msg_namelen = sizeof destination;
      message.msg_iov = &piece;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = IPPROTO_IP;
      header->cmsg_type = IP_PKTINFO;
      header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_spec_dst.s_addr = htonl(0x7F010000u + i);
      std::memcpy(CMSG_DATA(header), &info, sizeof info);
      EXPECT_EQ(sendmsg(fd, &message, 0), static_cast<ssize_t>(text.size()));
      if (paced && i % 200 == 199) std::this_thread::sleep_for(milliseconds{2});
    }
    close(fd);
  });
}

std::size_t peer_count(const Namespace& ns) {
  const auto body = harness::status_body(ns);
  if (!body) return 0;
  return nlohmann::json::parse(*body).at("peers").size();
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

// 16,384 sources, each heard more than once, then 3,616 new ones, in well
// under two seconds: the sources are all on-link (inside lo's 127.0.0.0/8),
// so the table keeps its entries, refuses the new ones and says so once; few
// join lines are shown, and those shown plus those counted in summary lines
// add up to every join.
TEST(Membership, FloodStopsAtCapacityWithBoundedLog) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("flood"));
  const auto fake = FakeHostname::printing("alpha\n");
  NodeProcess node(ns,
                   NodeOptions{{"--room", "lab", "--log-peers"}, fake.path()});
  ASSERT_NE(node.read_stderr_until("\n", milliseconds{5000}), "");
  const auto payload = [](std::uint32_t i) {
    return "MORUN-MESH|lab|flood-" + std::to_string(i) + "|1.00|1";
  };
  // The listener binds on a thread of its own: wait until it hears.
  for (int i = 0; i < 50 && peer_count(ns) == 0; ++i) {
    send_from_sources(ns, 0, 1, payload);
    std::this_thread::sleep_for(milliseconds{20});
  }
  ASSERT_EQ(peer_count(ns), 1u);
  // Three times: each source is heard more than once even where one pass
  // lost its datagram.
  const auto flood_start = std::chrono::steady_clock::now();
  for (int pass = 0; pass < 3; ++pass) send_from_sources(ns, 0, 16384, payload);
  EXPECT_EQ(peer_count(ns), 16384u);
  send_from_sources(ns, 16384, 20000, payload);
  EXPECT_EQ(peer_count(ns), 16384u);
  // Every held-back line is counted once a housekeeping cycle has run.
  std::this_thread::sleep_for(milliseconds{5500});
  const std::string text = node.read_stderr_until("\x01", milliseconds{0});
  const std::string full =
      "[pim-node] peer table full (16384 peers): 0 entries displaced, ";
  const std::string refused =
      " announcements from new addresses refused in the last minute\n";
  EXPECT_EQ(count_of(text, "peer table full"), 1u) << text;
  const std::size_t full_at = text.find(full);
  ASSERT_NE(full_at, std::string::npos) << text;
  const std::string line =
      text.substr(full_at, text.find('\n', full_at) + 1 - full_at);
  EXPECT_TRUE(line.ends_with(refused)) << line;
  EXPECT_GE(std::stoul(line.substr(full.size())), 1u) << line;
  EXPECT_EQ(text.find("peer left"), std::string::npos) << text;
  EXPECT_NE(text.find("[pim-node] peer joined: 127.1.0.0 flood-0\n"),
            std::string::npos)
      << text;
  std::size_t shown = 0;
  std::size_t held_back = 0;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = text.substr(start, end - start);
    if (line.starts_with("[pim-node] peer joined: ")) {
      ++shown;
    } else if (line.ends_with(" more peer changes not shown")) {
      held_back += std::stoul(line.substr(std::strlen("[pim-node] ")));
    }
  }
  EXPECT_GT(held_back, 0u);
  EXPECT_EQ(shown + held_back, 16384u) << text;
  // Every join line came within the seconds since the flood began: at most
  // 20 in each (the first and the last second counted whole).
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - flood_start)
                           .count();
  EXPECT_LE(shown, 20u * static_cast<std::size_t>(seconds + 2));
}

// A duplicate, in this process, of the node's listening socket (the UDP
// socket bound to port 47832), or -1. No tool shows a UDP socket's filter
// from outside (ss and /proc/PID/net/udp list the socket, not its filter),
// so the test borrows the socket itself: pidfd_getfd, which root may use on
// any process, gives a descriptor of the same socket, filter and counters
// included.
int borrow_listener(pid_t pid) {
  // Called through syscall: glibc's <sys/pidfd.h> lacks C linkage for C++.
  // Both descriptors come close-on-exec.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return -1;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* entries = opendir(folder.c_str());
  int found = -1;
  while (entries != nullptr && found < 0) {
    const dirent* entry = readdir(entries);
    if (entry == nullptr) break;
    if (entry->d_name[0] == '.') continue;
    const int target = std::atoi(entry->d_name);
    if (!harness::descriptor_target(pid, target).starts_with("socket:")) {
      continue;
    }
    const int fd = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, target, 0));
    if (fd < 0) continue;
    int type = 0;
    socklen_t type_length = sizeof type;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) == 0 &&
        type == SOCK_DGRAM &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == 47832) {
      found = fd;
    } else {
      close(fd);
    }
  }
  if (entries != nullptr) closedir(entries);
  close(pidfd);
  return found;
}

// The datagrams the kernel dropped for socket `fd`, a filter's drops among
// them.
std::uint32_t drops(int fd) {
  std::array<std::uint32_t, SK_MEMINFO_VARS> info{};
  socklen_t length = sizeof info;
  EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info.data(), &length), 0);
  return info[SK_MEMINFO_DROPS];
}

// Another room's flood is stopped in the kernel by the filter on the node's
// listening socket, while the node's own room is still heard: a peer whose
// every announcement carries a new host is shown with the latest one
// throughout the flood.
TEST(Membership, OtherRoomsFloodStoppedInTheKernel) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("otherroom"));
  const auto fake = FakeHostname::printing("alpha\n");
  NodeProcess node(ns, NodeOptions{{"--room", "lab"}, fake.path()});
  ASSERT_NE(node.read_stderr_until("\n", milliseconds{5000}), "");
  const harness::UdpSocket beta(ns, "127.2.0.1", 0);
  int announced = 0;
  // Waits (bounded) until the node shows beta's latest host.
  const auto announce = [&] {
    const std::string host = "beta-" + std::to_string(++announced);
    EXPECT_TRUE(
        beta.send_to("127.0.0.1", 47832, "MORUN-MESH|lab|" + host + "|4.00|1"));
    return harness::wait_for_status(
               ns,
               [&](const std::string& body) {
                 return body.find('"' + host + '"') != std::string::npos;
               },
               milliseconds{50})
               .find('"' + host + '"') != std::string::npos;
  };
  // The listener binds on a thread of its own: wait until it hears.
  bool heard = false;
  for (int i = 0; i < 50 && !heard; ++i) heard = announce();
  ASSERT_TRUE(heard);

  const int listener = borrow_listener(node.pid());
  ASSERT_GE(listener, 0);
  // "MORUN-MESH|lab|", 15 bytes: three words, a half-word and a byte, each
  // loaded and compared, then keep and drop.
  socklen_t instructions = 0;
  ASSERT_EQ(
      getsockopt(listener, SOL_SOCKET, SO_GET_FILTER, nullptr, &instructions),
      0);
  EXPECT_EQ(instructions, 12u);

  const std::uint32_t dropped_before = drops(listener);
  std::atomic<std::uint32_t> flooded{0};
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    // Two seconds of 20,000 sources at a time, at most a million datagrams.
    const auto end = std::chrono::steady_clock::now() + milliseconds{2000};
    while (std::chrono::steady_clock::now() < end && flooded < 1000000) {
      send_from_sources(
          ns, 0, 20000,
          [](std::uint32_t i) {
            return "MORUN-MESH|kitchen|flood-" + std::to_string(i) + "|1.00|1";
          },
          false);
      flooded += 20000;
    }
    flooding = false;
  });
  int during = 0;
  int shown = 0;
  while (flooding) {
    ++during;
    if (announce()) ++shown;
    std::this_thread::sleep_for(milliseconds{100});
  }
  flood.join();
  EXPECT_GE(during, 3);
  EXPECT_EQ(shown, during);
  // Every flood datagram was dropped at the socket, none queued for reading.
  EXPECT_GE(drops(listener) - dropped_before, flooded.load());
  close(listener);
  const auto body = harness::status_body(ns);
  ASSERT_TRUE(body);
  const auto peers = nlohmann::json::parse(*body).at("peers");
  ASSERT_EQ(peers.size(), 1u) << *body;
  EXPECT_EQ(peers.at(0).at("host"), "beta-" + std::to_string(announced));
}

// A node that cannot be heard says why: its announcement is longer than
// receivers read, and its sends fail (said once per run of failures).
TEST(Membership, SaysWhyItCannotBeHeard) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("unheard"));
  const auto fake = FakeHostname::printing("alpha\n");
  const std::string room(300, 'r');
  NodeProcess node(ns, NodeOptions{{"--room", room}, fake.path()});
  const std::string start =
      std::string("[pim-node] Starting \xE2\x80\x94 room=") + room +
      " node_count=1 host=alpha ram=8.0GB\n";
  const std::string too_long =
      "[pim-node] announcement is 324 bytes; peers read only the first 256\n";
  EXPECT_EQ(node.read_stderr_until(kSendError, milliseconds{5000}),
            start + too_long + kSendError);
  // A route lets the next send through; once it is gone again, the first
  // failure after that success is said again, and only once.
  ASSERT_EQ(ns.ip("link add v0 type veth peer name v1"), 0);
  ASSERT_EQ(ns.ip("addr add 10.9.9.1/24 dev v0"), 0);
  ASSERT_EQ(ns.ip("link set v1 up"), 0);
  ASSERT_EQ(ns.ip("link set v0 up"), 0);
  ASSERT_EQ(ns.ip("route add default dev v0"), 0);
  std::this_thread::sleep_for(milliseconds{3500});
  ASSERT_EQ(ns.ip("link del v0"), 0);
  std::this_thread::sleep_for(milliseconds{6500});
  EXPECT_EQ(node.read_stderr_until("\x01", milliseconds{0}),
            start + too_long + kSendError + kSendError);
}

// The discovery port lies inside the ephemeral range, and the broadcaster
// binds first: with a range of just two ports it would take the
// listener's port about every second start.
TEST(Membership, BroadcasterNeverTakesTheDiscoveryPort) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  const auto fake = FakeHostname::printing("alpha\n");
  for (int run = 0; run < 8; ++run) {
    SCOPED_TRACE(run);
    Namespace ns(harness::unique_name("ports"));
    ASSERT_EQ(harness::run("ip netns exec " + ns.name() +
                           " sysctl -q -w net.ipv4.ip_local_port_range='47832 "
                           "47833'"),
              0);
    NodeProcess node(ns, NodeOptions{{}, fake.path()});
    ASSERT_NE(node.read_stderr_until("\n", milliseconds{5000}), "");
    std::this_thread::sleep_for(milliseconds{300});
    EXPECT_EQ(node.read_stderr_until("listen bind error", milliseconds{0})
                  .find("listen bind error"),
              std::string::npos);
  }
}

// A UDP socket made inside a namespace and bound to 0.0.0.0:47832 there, for
// a host that runs no node: it hears every broadcast of the link.
class Listener {
 public:
  explicit Listener(const Namespace& ns) {
    fd_ = ns.within([] {
      const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      const int enable = 1;
      setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(47832);
      if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address),
                          sizeof address) != 0) {
        close(fd);
        return -1;
      }
      return fd;
    });
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool ok() const { return fd_ >= 0; }
  // The next datagram's payload, or nullopt after `timeout`.
  std::optional<std::string> receive(milliseconds timeout) const {
    pollfd readable{fd_, POLLIN, 0};
    if (poll(&readable, 1, static_cast<int>(timeout.count())) != 1) {
      return std::nullopt;
    }
    char buffer[2048];
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(got));
  }
  void send_to(const char* ip, std::string_view payload) const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(47832);
    inet_pton(AF_INET, ip, &address.sin_addr);
    EXPECT_EQ(sendto(fd_, payload.data(), payload.size(), 0,
                     reinterpret_cast<sockaddr*>(&address), sizeof address),
              static_cast<ssize_t>(payload.size()));
  }

 private:
  int fd_ = -1;
};

// Two hosts on one link: the node, with its figure given and membership
// changes logged, and a probe that hears its datagrams and announces a peer
// once.
TEST(Membership, RamOnTheWireAndPeerChangesInTheLog) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace node_ns(harness::unique_name("ram"));
  Namespace probe_ns(harness::unique_name("ram-probe"));
  ASSERT_EQ(node_ns.ip("link add eth0 type veth peer name eth0 netns " +
                       probe_ns.name()),
            0);
  ASSERT_EQ(node_ns.ip("addr add 10.77.0.1/24 dev eth0"), 0);
  ASSERT_EQ(probe_ns.ip("addr add 10.77.0.2/24 dev eth0"), 0);
  ASSERT_EQ(probe_ns.ip("link set eth0 up"), 0);
  ASSERT_EQ(node_ns.ip("link set eth0 up"), 0);
  ASSERT_EQ(node_ns.ip("route add default dev eth0"), 0);
  const Listener probe(probe_ns);
  ASSERT_TRUE(probe.ok());
  const auto fake = FakeHostname::printing("alpha\n");
  NodeProcess node(node_ns,
                   NodeOptions{{"--room", "lab", "--ram", "16", "--log-peers"},
                               fake.path()});
  // Only the first line: the node's join line for its own broadcast may
  // already have come with it (a slow reader used to see both, and fail).
  const std::string first = node.read_stderr_until("\n", milliseconds{5000});
  EXPECT_EQ(first.substr(0, first.find('\n') + 1),
            "[pim-node] Starting \xE2\x80\x94 room=lab node_count=1 "
            "host=alpha ram=16.0GB\n");
  EXPECT_EQ(probe.receive(milliseconds{5000}), "MORUN-MESH|lab|alpha|16.00|1");
  // The node hears its own broadcast too, as a peer under its own address;
  // that also shows its listener is up.
  const std::string echo = "[pim-node] peer joined: 10.77.0.1 alpha\n";
  // (The first broadcast may leave before the listener is bound.)
  std::string text = node.read_stderr_until(echo, milliseconds{7000});
  EXPECT_NE(text.find(echo), std::string::npos) << text;
  const auto beta_sent = std::chrono::steady_clock::now();
  probe.send_to("10.77.0.1", "MORUN-MESH|lab|beta|4.5|1");
  const std::string joined = "[pim-node] peer joined: 10.77.0.2 beta\n";
  text = node.read_stderr_until(joined, milliseconds{5000});
  EXPECT_NE(text.find(joined), std::string::npos) << text;
  // Silent from now on: dropped at the first prune 12 s or more later. Sent
  // just after a broadcast, its 12 s end next to a pruning cycle, so whether
  // it goes then or a cycle later is a matter of milliseconds: the line is
  // held to what this test saw, at least 12 s and no more than from the
  // announcement to the line. (A window of 12 to 14 s used to fail on a
  // loaded machine, the later prune coming an instant after 15 s.)
  const std::string left = "[pim-node] peer left: 10.77.0.2 beta (silent ";
  text = node.read_stderr_until(left, milliseconds{18000});
  const auto left_read = std::chrono::steady_clock::now();
  const std::size_t at = text.find(left);
  ASSERT_NE(at, std::string::npos) << text;
  const std::size_t end = text.find(" s)\n", at);
  ASSERT_NE(end, std::string::npos) << text;
  const long silent =
      std::stol(text.substr(at + left.size(), end - at - left.size()));
  EXPECT_GE(silent, 12) << text;
  EXPECT_LE(silent, std::chrono::duration_cast<std::chrono::seconds>(left_read -
                                                                     beta_sent)
                        .count())
      << text;
  EXPECT_EQ(text.find("peer left: 10.77.0.1"), std::string::npos) << text;
}

}  // namespace
