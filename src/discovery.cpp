#include "discovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <span>
#include <thread>

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
    // An admission that displaces another entry is counted as
    // PeerResult::kDisplaced, here.
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

void broadcast_loop(const NodeConfig& config,
                    const std::shared_ptr<PeerTable>& table,
                    const std::shared_ptr<PeerLog>& log,
                    const std::shared_ptr<NodeCounters>& counters) {
  const int fd = open_broadcast_socket();
  if (fd < 0) return;
  const int enable = 1;
  // A failure here only means that every send below fails.
  (void)setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
  const std::string payload = format_announcement(config);
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  destination.sin_port = htons(DISCOVERY_PORT);
  bool failing = false;  // the last send failed and that has been said
  for (;;) {
    const ssize_t sent = sendto(
        fd, payload.data(), payload.size(), MSG_NOSIGNAL,
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

void listen_loop(const NodeConfig& config,
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
  receive_datagrams(fd, config.room, *table, log.get(), *counters);
}

void receive_datagrams(int fd, std::string_view room, PeerTable& table,
                       PeerLog* log, NodeCounters& counters) {
  std::array<std::array<char, DATAGRAM_BUFFER_SIZE>, RECEIVE_BATCH> buffers;
  std::array<sockaddr_in, RECEIVE_BATCH> sources;
  std::array<iovec, RECEIVE_BATCH> pieces;
  std::array<mmsghdr, RECEIVE_BATCH> messages;
  std::array<HeardPeer, RECEIVE_BATCH> heard;
  for (std::size_t i = 0; i < RECEIVE_BATCH; ++i) {
    pieces[i] = iovec{buffers[i].data(), buffers[i].size()};
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &sources[i];
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  RateLimitedLog table_full(TABLE_FULL_LIMIT);
  for (;;) {
    // The receive overwrites each name length with the length it stored.
    for (mmsghdr& message : messages) {
      message.msg_hdr.msg_namelen = sizeof(sockaddr_in);
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
      continue;
    }
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
      IgnoredReason reason{};
      const auto announced = read_datagram(bytes, room, &reason);
      if (!announced) {
        ++ignored[static_cast<std::size_t>(reason)];
        continue;
      }
      heard[count++] = HeardPeer{IpAddress::from_v4(source.sin_addr),
                                 announced->host, announced->ram};
    }
    for (std::size_t i = 0; i < IGNORED_REASONS; ++i) {
      if (ignored[i] != 0) {
        counters.count(static_cast<IgnoredReason>(i), ignored[i]);
      }
    }
    if (count == 0) continue;
    const std::span batch(heard.data(), count);
    table.record_peer(batch);
    count_recorded(batch, counters);
    report_recorded(batch, table.capacity(), log, table_full,
                    MonotonicClock::now());
  }
}

std::optional<HeardAnnouncement> read_datagram(std::string_view bytes,
                                               std::string_view room,
                                               IgnoredReason* ignored) {
  if (!is_valid_utf8(bytes)) {
    if (ignored != nullptr) *ignored = IgnoredReason::kNotUtf8;
    return std::nullopt;
  }
  // A room key's checks of what the reader takes (kUnsigned, kUnknownKey,
  // kBadSignature, kOutOfTime) set `ignored` the same way.
  return parse_announcement(bytes, room, ignored);
}
