// Sends announcements to a node from many source addresses, so that one
// process can stand for many peers: to 127.0.0.1 from loopback sources
// (every 127.x.y.z address is local on lo), or to --to from addresses of the
// namespace's own interfaces; IP_PKTINFO picks the source of each datagram.
// Source i is --first + i; its announcement is
// "MORUN-MESH|<room>|<host>-<i>|<ram>|1", its host padded with 'x' up to
// --host-bytes bytes, or the whole payload up to --bytes bytes, when given.
// Payloads are written as they are sent, so a million sources cost no more
// memory than one.
//
//   announce --mode flood|fill|keep|pace [--room MORUN-DEFAULT] [--sources 1]
//            [--first 127.1.0.1] [--to 127.0.0.1] [--host peer]
//            [--host-bytes 0] [--bytes 0] [--ram 8.00] [--seconds 5]
//            [--passes 0] [--rate 100] [--twin NETNS] [--port 47832]
//            [--key-file FILE]
//
//   flood: sends as fast as it can for --seconds, cycling through the sources,
//          and on until it has sent --passes times as many datagrams as there
//          are sources (but never more than 60 s past --seconds).
//   fill:  sends one announcement from each source, paced so that a listener
//          that keeps up loses none, then exits.
//   keep:  repeats fill every 3 s for --seconds, keeping the peers alive.
//          With --ram round, the ram piece of round n (from 1) is "n.00", so
//          that a status document shows which round was recorded last.
//   pace:  sends one datagram every 1/--rate s for --seconds, cycling through
//          the sources, as a mesh of that many peers spread over time would.
//          With --twin, each datagram is also sent half a period later to the
//          same port in the network namespace NETNS (a name under /run/netns),
//          so that two receivers get the same load at the same time without
//          ever being woken together.
//
// --to 255.255.255.255 broadcasts, as a node does. --key-file signs every
// announcement as a node with the key file FILE does, with the node's own
// sign_announcement: with FILE's first key, for the datagram's source
// address and the real-time clock when it is written. A refused FILE ends
// the tool (status 2) before its first datagram.
//
// Prints "sent=… failed=… seconds=… start_s=… end_s=…" (sent counting the
// twin's datagrams too), the last two the
// monotonic clock's reading (CLOCK_MONOTONIC, in seconds) at the first and
// after the last send. Run it only inside a private network namespace, with
// --to an address inside the namespaces of the run.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "discovery.h"
#include "options.h"
#include "room_key.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t BATCH = 64;
constexpr std::size_t MAX_PAYLOAD = 1024;
// fill: a pause after every burst keeps the listener's queue short.
constexpr std::size_t FILL_BURST = 16;
constexpr std::chrono::microseconds FILL_PAUSE{200};
constexpr std::chrono::seconds KEEP_PERIOD{3};
constexpr std::chrono::seconds FLOOD_OVERTIME{60};

// The announcement of every source: a fixed head and tail around a host
// that differs only in its number and padding.
struct Payloads {
  std::string head;  // "MORUN-MESH|<room>|<host>-"
  std::string tail;  // "|8.00|1"
  RoomKeys keys;     // signs every payload when not empty
  std::size_t host_prefix = 0;
  std::size_t host_bytes = 0;
  std::size_t total_bytes = 0;
  std::uint32_t first = 0;  // host byte order
  std::uint32_t count = 0;

  // Writes the payload of source i into `out` (MAX_PAYLOAD bytes); returns
  // its length.
  std::size_t write(std::uint32_t i, char* out) const {
    char* p = out;
    std::memcpy(p, head.data(), head.size());
    p += head.size();
    p = std::to_chars(p, out + MAX_PAYLOAD, i).ptr;
    const std::size_t host =
        host_prefix + static_cast<std::size_t>(p - out) - head.size();
    const std::size_t unpadded =
        static_cast<std::size_t>(p - out) + tail.size();
    std::size_t pad = 0;
    if (host < host_bytes) pad = host_bytes - host;
    if (unpadded + pad < total_bytes) pad = total_bytes - unpadded;
    pad = std::min(pad, MAX_PAYLOAD - unpadded);
    std::memset(p, 'x', pad);
    p += pad;
    std::memcpy(p, tail.data(), tail.size());
    p += tail.size();
    const auto length = static_cast<std::size_t>(p - out);
    if (keys.empty()) return length;
    // Signed as the node signs: for the address the datagram leaves from,
    // with the real-time clock of this moment.
    in_addr source{};
    source.s_addr = htonl(first + i);
    const std::string datagram = sign_announcement(
        std::string_view(out, length), source, real_time_ms(), keys);
    const std::size_t signed_length = std::min(datagram.size(), MAX_PAYLOAD);
    std::memcpy(out, datagram.data(), signed_length);
    return signed_length;
  }
};

// The ram piece of --ram round's round n.
std::string round_tail(unsigned long long round) {
  std::string tail = "|";
  tail += std::to_string(round);
  tail += ".00|1";
  return tail;
}

// `loopback`: the datagrams go to a 127.x address, so their sources must be
// loopback addresses too.
Payloads make_payloads(const Options& options, bool loopback) {
  in_addr first{};
  if (inet_pton(AF_INET, options.text("first").c_str(), &first) != 1 ||
      (loopback && (ntohl(first.s_addr) >> 24) != 127)) {
    std::fprintf(stderr,
                 "--first must be an IPv4 address, 127.x.y.z when "
                 "--to is\n");
    std::exit(2);
  }
  Payloads payloads;
  payloads.first = ntohl(first.s_addr);
  const long long count = options.integer("sources");
  // 127.255.255.255 is the loopback network's broadcast address.
  const unsigned long long end = loopback ? 0x7FFFFFFFULL : 0xFFFFFFFFULL;
  if (count < 1 ||
      payloads.first + static_cast<unsigned long long>(count) > end) {
    std::fprintf(stderr,
                 "--sources must be >= 1 and stay inside 127/8 (or below "
                 "255.255.255.255)\n");
    std::exit(2);
  }
  payloads.count = static_cast<std::uint32_t>(count);
  payloads.head =
      "MORUN-MESH|" + options.text("room") + "|" + options.text("host") + "-";
  const std::string& ram = options.text("ram");
  payloads.tail = ram == "round" ? round_tail(1) : "|" + ram + "|1";
  if (const std::string& path = options.text("key-file"); !path.empty()) {
    KeyFile file = read_key_file(path);
    if (!file.diagnostic.empty()) {
      std::fprintf(stderr, "announce: %s\n", file.diagnostic.c_str());
      std::exit(2);
    }
    payloads.keys = std::move(file.keys);
  }
  payloads.host_prefix = options.text("host").size() + 1;
  payloads.host_bytes = static_cast<std::size_t>(options.integer("host-bytes"));
  payloads.total_bytes = static_cast<std::size_t>(options.integer("bytes"));
  if (payloads.head.size() + 10 + payloads.tail.size() > MAX_PAYLOAD ||
      std::max(payloads.host_bytes, payloads.total_bytes) > MAX_PAYLOAD / 2) {
    std::fprintf(stderr, "payloads are limited to %zu bytes\n",
                 MAX_PAYLOAD / 2);
    std::exit(2);
  }
  return payloads;
}

// Sends the payloads of sources next, next + 1, … (cycling), up to `count`
// of them in one call; returns how many went out, or -1.
class Sender {
 public:
  Sender(int fd, in_addr to, std::uint16_t port, const Payloads& payloads)
      : fd_(fd), payloads_(payloads) {
    destination_.sin_family = AF_INET;
    destination_.sin_addr = to;
    destination_.sin_port = htons(port);
  }

  int send(std::size_t next, std::size_t count) {
    if (count > BATCH) count = BATCH;
    for (std::size_t k = 0; k < count; ++k) {
      const auto i = static_cast<std::uint32_t>((next + k) % payloads_.count);
      iov_[k].iov_base = buffers_[k];
      iov_[k].iov_len = payloads_.write(i, buffers_[k]);
      std::memset(control_[k], 0, sizeof control_[k]);
      msghdr& header = messages_[k].msg_hdr;
      header = msghdr{};
      header.msg_name = &destination_;
      header.msg_namelen = sizeof destination_;
      header.msg_iov = &iov_[k];
      header.msg_iovlen = 1;
      header.msg_control = control_[k];
      header.msg_controllen = sizeof control_[k];
      cmsghdr* cmsg = CMSG_FIRSTHDR(&header);
      cmsg->cmsg_level = IPPROTO_IP;
      cmsg->cmsg_type = IP_PKTINFO;
      cmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_spec_dst.s_addr = htonl(payloads_.first + i);
      std::memcpy(CMSG_DATA(cmsg), &info, sizeof info);
    }
    return sendmmsg(fd_, messages_, static_cast<unsigned>(count), 0);
  }

 private:
  int fd_;
  const Payloads& payloads_;
  sockaddr_in destination_{};
  mmsghdr messages_[BATCH]{};
  iovec iov_[BATCH]{};
  char buffers_[BATCH][MAX_PAYLOAD];
  alignas(cmsghdr) char control_[BATCH][CMSG_SPACE(sizeof(in_pktinfo))];
};

struct Counts {
  unsigned long long sent = 0;
  unsigned long long failed = 0;
};

void fill(Sender& sender, std::size_t sources, Counts& counts) {
  std::size_t next = 0;
  while (next < sources) {
    const std::size_t burst = std::min(FILL_BURST, sources - next);
    const int sent = sender.send(next, burst);
    if (sent <= 0) {
      ++counts.failed;
      ++next;  // never retried: the peer is simply missing this round
    } else {
      counts.sent += static_cast<unsigned>(sent);
      next += static_cast<unsigned>(sent);
    }
    std::this_thread::sleep_for(FILL_PAUSE);
  }
}

// A UDP socket in the network namespace /run/netns/<name>, or -1. The
// thread returns to its own namespace; the socket stays in the other one.
int socket_in_namespace(const std::string& name) {
  const int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int other = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  int fd = -1;
  if (own >= 0 && other >= 0 && setns(other, CLONE_NEWNET) == 0) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (setns(own, CLONE_NEWNET) != 0) {
      std::perror("announce: back to its namespace");
      std::exit(1);
    }
  }
  if (own >= 0) close(own);
  if (other >= 0) close(other);
  return fd;
}

double monotonic_seconds(Clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options(argc, argv,
                        {{"mode", "flood"},
                         {"room", "MORUN-DEFAULT"},
                         {"sources", "1"},
                         {"first", "127.1.0.1"},
                         {"to", "127.0.0.1"},
                         {"host", "peer"},
                         {"host-bytes", "0"},
                         {"bytes", "0"},
                         {"ram", "8.00"},
                         {"seconds", "5"},
                         {"passes", "0"},
                         {"rate", "100"},
                         {"twin", ""},
                         {"port", "47832"},
                         {"key-file", ""}});
  const std::string mode = options.text("mode");
  in_addr to{};
  if (inet_pton(AF_INET, options.text("to").c_str(), &to) != 1) {
    std::fprintf(stderr, "--to must be an IPv4 address\n");
    return 2;
  }
  Payloads payloads = make_payloads(options, (ntohl(to.s_addr) >> 24) == 127);
  const double rate = options.number("rate");
  const bool ram_rounds = options.text("ram") == "round";
  if ((mode != "flood" && mode != "fill" && mode != "keep" && mode != "pace") ||
      !(rate > 0 && rate <= 1e6) || options.integer("passes") < 0 ||
      (ram_rounds && mode != "keep")) {
    std::fprintf(stderr,
                 "need --mode flood|fill|keep|pace, --rate > 0, --passes >= "
                 "0, --ram round only with keep\n");
    return 2;
  }
  // Short pauses should be short: the default slack adds 50 us to each.
  (void)prctl(PR_SET_TIMERSLACK, 1UL);

  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("announce");
    return 1;
  }
  const int enable = 1;
  // A failure only means that sends to a broadcast address fail.
  (void)setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
  const auto port = static_cast<std::uint16_t>(options.integer("port"));
  Sender sender(fd, to, port, payloads);
  int twin_fd = -1;
  if (!options.text("twin").empty()) {
    twin_fd = socket_in_namespace(options.text("twin"));
    if (twin_fd < 0 || mode != "pace") {
      std::fprintf(stderr, "--twin needs --mode pace and a namespace\n");
      return 2;
    }
  }
  Sender twin(twin_fd, to, port, payloads);
  Counts counts;
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(options.number("seconds")));
  if (mode == "flood") {
    const unsigned long long wanted =
        static_cast<unsigned long long>(options.integer("passes")) *
        payloads.count;
    std::size_t next = 0;
    for (auto now = start; now < deadline + FLOOD_OVERTIME &&
                           (now < deadline || counts.sent < wanted);
         now = Clock::now()) {
      for (int round = 0; round < 16; ++round) {
        const int sent = sender.send(next, BATCH);
        if (sent <= 0) {
          ++counts.failed;
          continue;
        }
        counts.sent += static_cast<unsigned>(sent);
        next = (next + static_cast<unsigned>(sent)) % payloads.count;
      }
    }
  } else if (mode == "fill") {
    fill(sender, payloads.count, counts);
  } else if (mode == "keep") {
    unsigned long long number = 1;
    for (auto round = start; round < deadline; round += KEEP_PERIOD) {
      std::this_thread::sleep_until(round);
      if (ram_rounds) payloads.tail = round_tail(number++);
      fill(sender, payloads.count, counts);
    }
    std::this_thread::sleep_until(deadline);
  } else {
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / rate));
    const auto count = [&counts](int sent) {
      if (sent == 1) {
        ++counts.sent;
      } else {
        ++counts.failed;
      }
    };
    std::size_t next = 0;
    for (auto at = start; at < deadline; at += period) {
      std::this_thread::sleep_until(at);
      count(sender.send(next, 1));
      if (twin_fd >= 0) {
        std::this_thread::sleep_until(at + period / 2);
        count(twin.send(next, 1));
      }
      next = (next + 1) % payloads.count;
    }
  }
  const auto end = Clock::now();
  std::printf("sent=%llu failed=%llu seconds=%.3f start_s=%.6f end_s=%.6f\n",
              counts.sent, counts.failed,
              std::chrono::duration<double>(end - start).count(),
              monotonic_seconds(start), monotonic_seconds(end));
  return 0;
}
