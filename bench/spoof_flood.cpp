// Floods a node with valid announcements for its room, each from a fresh
// random source address, as an attacker on the same link would: a raw socket
// (IPPROTO_RAW, so IP_HDRINCL) writes every datagram's IPv4 and UDP headers
// itself. Sources are drawn uniformly from the unicast range 1.0.0.0 to
// 223.255.255.255, leaving out 127/8, the destination and --exclude (the
// node's own subnet), so that none of them is on-link at the node. The
// payload is "MORUN-MESH|<room>|<host>|8.00|1" for every datagram; the UDP
// checksum is computed, the IPv4 one is left to the kernel.
//
//   spoof_flood --to ADDRESS [--port 47832] [--room MORUN-DEFAULT]
//               [--host flood] [--seconds 5] [--exclude 10.9.0.0/24]
//               [--seed 1]
//
// Sends as fast as it can for --seconds, then prints "sent=… failed=…
// seconds=… start_s=… end_s=…", the last two the monotonic clock's reading
// (CLOCK_MONOTONIC, in seconds) at the first and after the last send. Needs
// CAP_NET_RAW. Run it only inside a private network namespace, with --to an
// address inside the namespaces of the run: nothing else may receive
// datagrams with forged sources.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "options.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t BATCH = 64;
constexpr std::size_t MAX_PAYLOAD = 512;
constexpr std::size_t HEADERS = sizeof(iphdr) + sizeof(udphdr);

// An IPv4 prefix, host byte order.
struct Subnet {
  std::uint32_t network = 0;
  std::uint32_t mask = 0;

  bool contains(std::uint32_t address) const {
    return (address & mask) == network;
  }
};

Subnet parse_subnet(const std::string& text) {
  const std::size_t slash = text.find('/');
  in_addr address{};
  char* end = nullptr;
  const long bits =
      slash == std::string::npos ? -1 : std::strtol(&text[slash + 1], &end, 10);
  if (bits < 0 || bits > 32 || *end != '\0' ||
      inet_pton(AF_INET, text.substr(0, slash).c_str(), &address) != 1) {
    std::fprintf(stderr, "spoof_flood: --exclude wants ADDRESS/BITS\n");
    std::exit(2);
  }
  Subnet subnet;
  subnet.mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
  subnet.network = ntohl(address.s_addr) & subnet.mask;
  return subnet;
}

// xorshift64*: fast, and plenty for addresses that must only differ.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed | 1) {}

  std::uint32_t next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<std::uint32_t>((state_ * 0x2545F4914F6CDD1DULL) >> 32);
  }

 private:
  std::uint64_t state_;
};

// One's-complement sum of 16-bit words (network order), not yet folded.
std::uint32_t sum_words(const unsigned char* data, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) {
    sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
  }
  if (length % 2 != 0) sum += static_cast<std::uint32_t>(data[length - 1] << 8);
  return sum;
}

std::uint16_t fold(std::uint32_t sum) {
  while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  const auto result = static_cast<std::uint16_t>(~sum & 0xFFFF);
  return result == 0 ? 0xFFFF : result;  // 0 would mean "no checksum"
}

double monotonic_seconds(Clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options(argc, argv,
                        {{"to", ""},
                         {"port", "47832"},
                         {"room", "MORUN-DEFAULT"},
                         {"host", "flood"},
                         {"seconds", "5"},
                         {"exclude", "10.9.0.0/24"},
                         {"seed", "1"}});
  in_addr to{};
  if (inet_pton(AF_INET, options.text("to").c_str(), &to) != 1) {
    std::fprintf(stderr, "spoof_flood: --to wants an IPv4 address\n");
    return 2;
  }
  const std::uint32_t destination = ntohl(to.s_addr);
  const Subnet excluded = parse_subnet(options.text("exclude"));
  const auto port = static_cast<std::uint16_t>(options.integer("port"));
  const std::string payload = "MORUN-MESH|" + options.text("room") + "|" +
                              options.text("host") + "|8.00|1";
  if (payload.size() > MAX_PAYLOAD) {
    std::fprintf(stderr, "spoof_flood: payloads are limited to %zu bytes\n",
                 MAX_PAYLOAD);
    return 2;
  }
  Random random(static_cast<std::uint64_t>(options.integer("seed")));

  const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (fd < 0) {
    std::perror("spoof_flood");
    return 1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = to;

  // Every datagram of a batch has its own buffer; only the source address,
  // the source port and the UDP checksum change from one to the next.
  const std::size_t length = HEADERS + payload.size();
  const auto udp_length =
      static_cast<std::uint16_t>(sizeof(udphdr) + payload.size());
  static unsigned char buffers[BATCH][HEADERS + MAX_PAYLOAD];
  static mmsghdr messages[BATCH];
  static iovec iov[BATCH];
  for (std::size_t k = 0; k < BATCH; ++k) {
    unsigned char* packet = buffers[k];
    iphdr ip{};
    ip.version = 4;
    ip.ihl = sizeof(iphdr) / 4;
    ip.tot_len = htons(static_cast<std::uint16_t>(length));
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.daddr = to.s_addr;
    std::memcpy(packet, &ip, sizeof ip);
    std::memcpy(packet + HEADERS, payload.data(), payload.size());
    iov[k].iov_base = packet;
    iov[k].iov_len = length;
    messages[k].msg_hdr.msg_name = &address;
    messages[k].msg_hdr.msg_namelen = sizeof address;
    messages[k].msg_hdr.msg_iov = &iov[k];
    messages[k].msg_hdr.msg_iovlen = 1;
  }
  // The checksum's fixed part: the payload, the destination half of the
  // pseudo-header, the protocol, the UDP length (counted twice: once in the
  // pseudo-header, once in the UDP header) and the destination port.
  const std::uint32_t fixed_sum =
      sum_words(reinterpret_cast<const unsigned char*>(payload.data()),
                payload.size()) +
      (destination >> 16) + (destination & 0xFFFF) + IPPROTO_UDP +
      2U * udp_length + port;

  unsigned long long sent = 0;
  unsigned long long failed = 0;
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(options.number("seconds")));
  for (auto now = start; now < deadline; now = Clock::now()) {
    for (int round = 0; round < 16; ++round) {
      for (std::size_t k = 0; k < BATCH; ++k) {
        std::uint32_t source = 0;
        do {
          source = random.next();
        } while (source >> 24 == 0 || source >> 24 == 127 ||
                 source >> 24 >= 224 || source == destination ||
                 excluded.contains(source));
        const auto source_port =
            static_cast<std::uint16_t>(1024 + random.next() % 64512);
        unsigned char* packet = buffers[k];
        const std::uint32_t source_be = htonl(source);
        std::memcpy(packet + offsetof(iphdr, saddr), &source_be,
                    sizeof source_be);
        udphdr udp{};
        udp.source = htons(source_port);
        udp.dest = htons(port);
        udp.len = htons(udp_length);
        udp.check = htons(
            fold(fixed_sum + (source >> 16) + (source & 0xFFFF) + source_port));
        std::memcpy(packet + sizeof(iphdr), &udp, sizeof udp);
      }
      const int done = sendmmsg(fd, messages, BATCH, 0);
      if (done <= 0) {
        ++failed;
        continue;
      }
      sent += static_cast<unsigned>(done);
    }
  }
  const auto end = Clock::now();
  close(fd);
  std::printf("sent=%llu failed=%llu seconds=%.3f start_s=%.6f end_s=%.6f\n",
              sent, failed, std::chrono::duration<double>(end - start).count(),
              monotonic_seconds(start), monotonic_seconds(end));
  return 0;
}
