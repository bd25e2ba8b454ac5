// Sends announcements to a node on 127.0.0.1 from many loopback source
// addresses (every 127.x.y.z address is local on lo, and IP_PKTINFO picks the
// source of each datagram), so that one process can stand for many peers.
// Source i is --first + i; its announcement is
// "MORUN-MESH|<room>|<host>-<i>|8.00|1", its host padded with 'x' up to
// --bytes bytes of payload when that is given.
//
//   announce --mode flood|fill|keep [--room MORUN-DEFAULT] [--sources 1]
//            [--first 127.1.0.1] [--host peer] [--bytes 0] [--seconds 5]
//            [--port 47832]
//
//   flood: sends as fast as it can for --seconds, cycling through the sources.
//   fill:  sends one announcement from each source, paced so that a listener
//          that keeps up loses none, then exits.
//   keep:  repeats fill every 3 s for --seconds, keeping the peers alive.
//
// Prints "sent=… failed=… seconds=…". Run it only inside a private network
// namespace.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "options.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t BATCH = 64;
// fill: a pause after every burst keeps the listener's queue short.
constexpr std::size_t FILL_BURST = 16;
constexpr std::chrono::microseconds FILL_PAUSE{200};
constexpr std::chrono::seconds KEEP_PERIOD{3};

struct Datagram {
  std::string payload;
  in_addr source{};
};

std::vector<Datagram> make_datagrams(const Options& options) {
  in_addr first{};
  if (inet_pton(AF_INET, options.text("first").c_str(), &first) != 1) {
    std::fprintf(stderr, "bad --first address\n");
    std::exit(2);
  }
  const auto count = static_cast<std::uint32_t>(options.integer("sources"));
  const auto bytes = static_cast<std::size_t>(options.integer("bytes"));
  std::vector<Datagram> datagrams(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string host = options.text("host") + "-" + std::to_string(i);
    const std::string head = "MORUN-MESH|" + options.text("room") + "|";
    const std::string tail = "|8.00|1";
    if (head.size() + host.size() + tail.size() < bytes) {
      host.append(bytes - head.size() - host.size() - tail.size(), 'x');
    }
    datagrams[i].payload = head + host + tail;
    datagrams[i].source.s_addr = htonl(ntohl(first.s_addr) + i);
  }
  return datagrams;
}

// Sends datagrams[next], datagrams[next + 1], … (cycling), up to `count` of
// them in one call; returns how many went out, or -1.
class Sender {
 public:
  Sender(int fd, std::uint16_t port, const std::vector<Datagram>& datagrams)
      : fd_(fd), datagrams_(datagrams) {
    destination_.sin_family = AF_INET;
    destination_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    destination_.sin_port = htons(port);
  }

  int send(std::size_t next, std::size_t count) {
    if (count > BATCH) count = BATCH;
    for (std::size_t k = 0; k < count; ++k) {
      const Datagram& datagram = datagrams_[(next + k) % datagrams_.size()];
      iov_[k].iov_base = const_cast<char*>(datagram.payload.data());
      iov_[k].iov_len = datagram.payload.size();
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
      info.ipi_spec_dst = datagram.source;
      std::memcpy(CMSG_DATA(cmsg), &info, sizeof info);
    }
    return sendmmsg(fd_, messages_, static_cast<unsigned>(count), 0);
  }

 private:
  int fd_;
  const std::vector<Datagram>& datagrams_;
  sockaddr_in destination_{};
  mmsghdr messages_[BATCH]{};
  iovec iov_[BATCH]{};
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

}  // namespace

int main(int argc, char** argv) {
  const Options options(argc, argv,
                        {{"mode", "flood"},
                         {"room", "MORUN-DEFAULT"},
                         {"sources", "1"},
                         {"first", "127.1.0.1"},
                         {"host", "peer"},
                         {"bytes", "0"},
                         {"seconds", "5"},
                         {"port", "47832"}});
  const std::string mode = options.text("mode");
  const std::vector<Datagram> datagrams = make_datagrams(options);
  if (datagrams.empty() ||
      (mode != "flood" && mode != "fill" && mode != "keep")) {
    std::fprintf(stderr, "need --mode flood|fill|keep and --sources >= 1\n");
    return 2;
  }
  // Short pauses should be short: the default slack adds 50 us to each.
  (void)prctl(PR_SET_TIMERSLACK, 1UL);

  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::perror("announce");
    return 1;
  }
  Sender sender(fd, static_cast<std::uint16_t>(options.integer("port")),
                datagrams);
  Counts counts;
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(options.number("seconds")));
  if (mode == "flood") {
    std::size_t next = 0;
    while (Clock::now() < deadline) {
      for (int round = 0; round < 16; ++round) {
        const int sent = sender.send(next, BATCH);
        if (sent <= 0) {
          ++counts.failed;
          continue;
        }
        counts.sent += static_cast<unsigned>(sent);
        next = (next + static_cast<unsigned>(sent)) % datagrams.size();
      }
    }
  } else if (mode == "fill") {
    fill(sender, datagrams.size(), counts);
  } else {
    for (auto round = start; round < deadline; round += KEEP_PERIOD) {
      std::this_thread::sleep_until(round);
      fill(sender, datagrams.size(), counts);
    }
    std::this_thread::sleep_until(deadline);
  }
  std::printf("sent=%llu failed=%llu seconds=%.3f\n", counts.sent,
              counts.failed,
              std::chrono::duration<double>(Clock::now() - start).count());
  return 0;
}
