#include "discovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <span>
#include <thread>
#include <vector>

#include "announcement.h"
#include "log.h"
#include "room_filter.h"
#include "utf8.h"

namespace {

// Binds to the discovery port give way this many times, BIND_RETRY_PAUSE
// apart, before the port counts as taken: see open_broadcast_socket.
constexpr int BIND_ATTEMPTS = 5;
constexpr std::chrono::milliseconds BIND_RETRY_PAUSE{10};

// A UDP socket bound to 0.0.0.0:port, or -1 after printing the bind error
// line that starts with `what`. With `filter_room`, the room filter is
// attached before the bind, so that no datagram is ever queued unfiltered;
// when the kernel refuses it, that is said and the socket is bound as it is.
int open_udp_socket(std::uint16_t port, std::string_view what,
                    std::optional<std::string_view> filter_room = {}) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int error = errno;
    log_line(std::string(what) + os_error_text(error));
    return -1;
  }
  if (filter_room) {
    if (const int error = attach_room_filter(fd, *filter_room); error != 0) {
      log_line(room_filter_refused_line(error));
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  for (int attempt = 1;; ++attempt) {
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
        0) {
      return fd;
    }
    const int error = errno;
    if (error == EADDRINUSE && port != 0 && attempt < BIND_ATTEMPTS) {
      std::this_thread::sleep_for(BIND_RETRY_PAUSE);
      continue;
    }
    close(fd);
    log_line(std::string(what) + os_error_text(error));
    return -1;
  }
}

std::uint16_t bound_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

// The broadcaster's socket on a port the system chose. The discovery port
// lies inside the ephemeral range, and the broadcaster binds before the
// listener: a socket that got it is replaced by one bound while it is still
// held, so the system must pick another port. The listener's bind, racing
// with this on its own thread, gives way a few times before it fails.
int open_broadcast_socket() {
  constexpr std::string_view WHAT = "broadcast bind error: ";
  const int fd = open_udp_socket(0, WHAT);
  if (fd < 0 || bound_port(fd) != DISCOVERY_PORT) return fd;
  const int other = open_udp_socket(0, WHAT);
  close(fd);
  return other;
}

// Room for the one control message the listener asks for.
struct ControlBuffer {
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> bytes;
};

// The index of the interface a received datagram arrived on, from its
// IP_PKTINFO control message; 0 when there is none.
int arrival_interface(msghdr& message) {
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != IPPROTO_IP || header->cmsg_type != IP_PKTINFO ||
        header->cmsg_len < CMSG_LEN(sizeof(in_pktinfo))) {
      continue;
    }
    in_pktinfo info{};
    std::memcpy(&info, CMSG_DATA(header), sizeof info);
    return info.ipi_ifindex;
  }
  return 0;
}

sockaddr_in broadcast_destination() {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  destination.sin_port = htons(DISCOVERY_PORT);
  return destination;
}

// The source address that the system gives a broadcast sent now, as its
// receivers see it: that of a UDP socket connected to the broadcast
// destination (connecting sends nothing). 0.0.0.0 when there is none, for
// then the send fails as well.
in_addr broadcast_source() {
  in_addr source{};
  source.s_addr = htonl(INADDR_ANY);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return source;
  const int enable = 1;
  // Without it the connect is refused, and 0.0.0.0 is signed for.
  (void)setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
  const sockaddr_in destination = broadcast_destination();
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&destination),
              sizeof destination) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
      local.sin_family == AF_INET) {
    source = local.sin_addr;
  }
  close(fd);
  return source;
}

// A key's counts for a datagram that check_tag did not accept.
IgnoredReason ignored_reason(TagCheck check) {
  switch (check) {
    case TagCheck::kUnknownKey:
      return IgnoredReason::kUnknownKey;
    case TagCheck::kBadSignature:
      return IgnoredReason::kBadSignature;
    case TagCheck::kAccepted:
    case TagCheck::kUnsigned:
      break;
  }
  return IgnoredReason::kUnsigned;
}

// What the table did with an announcement, as the counters name it; nothing
// for one it ignored.
std::optional<PeerResult> peer_result(Recorded recorded) {
  switch (recorded) {
    case Recorded::kJoined:
      return PeerResult::kJoined;
    case Recorded::kRefreshed:
      return PeerResult::kRefreshed;
    case Recorded::kRefused:
      return PeerResult::kRefused;
    // Counted as ignored (out_of_time), not as a result of the table.
    case Recorded::kOutOfTime:
    case Recorded::kIgnored:
      return std::nullopt;
  }
  return std::nullopt;
}

// Adds a recorded batch's results to `counters`, one add per result seen.
void count_recorded(std::span<const HeardPeer> batch, NodeCounters& counters) {
  std::array<std::uint64_t, PEER_RESULTS> results{};
  for (const HeardPeer& peer : batch) {
    if (const auto result = peer_result(peer.recorded)) {
      ++results[static_cast<std::size_t>(*result)];
    }
  }
  for (std::size_t i = 0; i < PEER_RESULTS; ++i) {
    if (results[i] != 0) counters.count(static_cast<PeerResult>(i), results[i]);
  }
}

}  // namespace

std::int64_t real_time_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void broadcast_loop(const NodeConfig& config, const RoomKeys& keys,
                    const std::shared_ptr<PeerTable>& table,
                    const std::shared_ptr<PeerLog>& log,
                    const std::shared_ptr<NodeCounters>& counters) {
  const int fd = open_broadcast_socket();
  if (fd < 0) return;
  const int enable = 1;
  // A failure here only means that every send below fails.
  (void)setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
  const std::string payload = format_announcement(config);
  const sockaddr_in destination = broadcast_destination();
  std::string signed_payload;
  bool failing = false;  // the last send failed and that has been said
  for (;;) {
    // Signed for the address the system picks now, so that an address
    // changed since the last cycle is the one signed for.
    if (!keys.empty()) {
      signed_payload =
          sign_announcement(payload, broadcast_source(), real_time_ms(), keys);
    }
    const std::string& datagram = keys.empty() ? payload : signed_payload;
    const ssize_t sent = sendto(
        fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
        reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    if (sent < 0) {
      const int error = errno;
      // Said once per run of failures; the node keeps cycling either way.
      if (!failing) {
        log_line("broadcast send error: " + os_error_text(error));
      }
      failing = true;
      counters->count(BroadcastResult::kFailed);
    } else {
      failing = false;
      counters->count(BroadcastResult::kSent);
    }
    counters->count_expired(
        expire_peers(*table, log.get(), MonotonicClock::now()));
    std::this_thread::sleep_for(BROADCAST_PERIOD);
  }
}

void listen_loop(const NodeConfig& config, const RoomKeys& keys,
                 const std::shared_ptr<PeerTable>& table,
                 const std::shared_ptr<PeerLog>& log,
                 const std::shared_ptr<NodeCounters>& counters) {
  const int fd =
      open_udp_socket(DISCOVERY_PORT, "listen bind error: ", config.room);
  if (fd < 0) return;
  timeval timeout{};
  timeout.tv_sec = RECEIVE_TIMEOUT.count();
  // Without the timeout the receive simply blocks; nothing depends on it.
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  // Room for the datagrams of a flood that arrive while the listener waits
  // for the table lock (a status document of a full table holds it for a
  // few milliseconds): a peer announcing at a steady phase to such waits
  // would otherwise lose every announcement. The system caps it at
  // net.core.rmem_max; a failure only leaves the default.
  const int receive_buffer = RECEIVE_BUFFER_BYTES;
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer,
                   sizeof receive_buffer);
  receive_datagrams(fd, config.room, keys, *table, log.get(), *counters);
}

void receive_datagrams(int fd, std::string_view room, const RoomKeys& keys,
                       PeerTable& table, PeerLog* log, NodeCounters& counters) {
  // Each datagram comes with the interface it arrived on, which decides
  // whether its source is on-link. Without the option every source counts
  // as off-link, which matters only once the table is full.
  const int enable = 1;
  (void)setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &enable, sizeof enable);
  std::array<std::array<char, DATAGRAM_BUFFER_SIZE>, RECEIVE_BATCH> buffers;
  std::array<sockaddr_in, RECEIVE_BATCH> sources;
  std::array<ControlBuffer, RECEIVE_BATCH> controls;
  std::array<iovec, RECEIVE_BATCH> pieces;
  std::array<mmsghdr, RECEIVE_BATCH> messages;
  std::array<HeardPeer, RECEIVE_BATCH> heard;
  for (std::size_t i = 0; i < RECEIVE_BATCH; ++i) {
    pieces[i] = iovec{buffers[i].data(), buffers[i].size()};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &sources[i];
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_control = controls[i].bytes.data();
  }
  std::vector<Peer> displaced;
  TableFullLog table_full;
  RoomKeyLog key_log;  // with keys only
  const bool keyed = !keys.empty();
  for (;;) {
    // The receive overwrites each name and control length with the length
    // it stored.
    for (mmsghdr& message : messages) {
      message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
      message.msg_hdr.msg_controllen = sizeof(ControlBuffer::bytes);
    }
    // Blocks (up to the receive timeout) for the first datagram only, then
    // takes whatever else is already queued. A longer datagram is cut to its
    // buffer; its rest is lost.
    const int received =
        recvmmsg(fd, messages.data(), RECEIVE_BATCH, MSG_WAITFORONE, nullptr);
    if (received < 0) {
      const int error = errno;
      if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
        std::this_thread::sleep_for(RECEIVE_FAILURE_PAUSE);
      }
      report_table_full(table_full, table.capacity(), MonotonicClock::now());
      if (keyed) key_log.report(MonotonicClock::now());
      continue;
    }
    // One reading for the batch: its datagrams arrived together.
    const std::int64_t now_ms = keyed ? real_time_ms() : 0;
    counters.count_received(static_cast<std::uint64_t>(received));
    std::array<std::uint64_t, IGNORED_REASONS> ignored{};
    std::size_t count = 0;
    for (int i = 0; i < received; ++i) {
      const sockaddr_in& source = sources[i];
      if (messages[i].msg_hdr.msg_namelen < sizeof source ||
          source.sin_family != AF_INET) {
        continue;
      }
      const std::string_view bytes(buffers[i].data(), messages[i].msg_len);
      const IpAddress from = IpAddress::from_v4(source.sin_addr);
      const int ifindex = arrival_interface(messages[i].msg_hdr);
      if (!keyed) {
        IgnoredReason reason{};
        const auto announced = read_datagram(bytes, room, &reason);
        if (!announced) {
          ++ignored[static_cast<std::size_t>(reason)];
          continue;
        }
        heard[count++] = HeardPeer{from, announced->host, announced->ram,
                                   Recorded::kIgnored, ifindex};
        continue;
      }
      const SignedDatagram read =
          read_signed_datagram(bytes, source.sin_addr, room, keys, now_ms);
      if (read.check != TagCheck::kAccepted) {
        const IgnoredReason reason = ignored_reason(read.check);
        ++ignored[static_cast<std::size_t>(reason)];
        key_log.ignored(reason, from);
        continue;
      }
      if (!read.announcement) {
        ++ignored[static_cast<std::size_t>(read.ignored)];
        continue;
      }
      heard[count++] = HeardPeer{from,
                                 read.announcement->host,
                                 read.announcement->ram,
                                 Recorded::kIgnored,
                                 ifindex,
                                 read.ts,
                                 read.fresh};
    }
    const MonotonicClock::time_point now = MonotonicClock::now();
    if (count != 0) {
      const std::span batch(heard.data(), count);
      displaced.clear();
      const std::size_t displaced_count =
          table.record_peer(batch, log != nullptr ? &displaced : nullptr);
      count_recorded(batch, counters);
      if (displaced_count != 0) {
        counters.count(PeerResult::kDisplaced, displaced_count);
      }
      report_recorded(batch, displaced_count, displaced, table.capacity(), log,
                      table_full, now);
    }
    if (keyed) {
      for (std::size_t i = 0; i < count; ++i) {
        const HeardPeer& peer = heard[i];
        if (peer.recorded != Recorded::kOutOfTime) continue;
        ++ignored[static_cast<std::size_t>(IgnoredReason::kOutOfTime)];
        key_log.ignored(IgnoredReason::kOutOfTime, peer.addr);
        // Only a time stamp off the clock says anything about the clocks; an
        // older one from a known address is a replay or a reordering.
        if (!peer.fresh) key_log.clock_off(peer.addr, *peer.ts - now_ms, now);
      }
      key_log.report(now);
    }
    for (std::size_t i = 0; i < IGNORED_REASONS; ++i) {
      if (ignored[i] != 0) {
        counters.count(static_cast<IgnoredReason>(i), ignored[i]);
      }
    }
  }
}

std::optional<HeardAnnouncement> read_datagram(std::string_view bytes,
                                               std::string_view room,
                                               IgnoredReason* ignored) {
  if (!is_valid_utf8(bytes)) {
    if (ignored != nullptr) *ignored = IgnoredReason::kNotUtf8;
    return std::nullopt;
  }
  return parse_announcement(bytes, room, ignored);
}

SignedDatagram read_signed_datagram(std::string_view bytes,
                                    const in_addr& source,
                                    std::string_view room, const RoomKeys& keys,
                                    std::int64_t now_ms) {
  SignedDatagram result;
  const CheckedDatagram checked = check_tag(bytes, source, keys);
  result.check = checked.check;
  if (checked.check != TagCheck::kAccepted) return result;
  result.ts = checked.ts;
  result.fresh = tag_in_time(checked.ts, now_ms, std::nullopt);
  result.announcement =
      read_datagram(checked.announcement, room, &result.ignored);
  return result;
}
