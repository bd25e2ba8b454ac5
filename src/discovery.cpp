#include "discovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <thread>

#include "announcement.h"
#include "log.h"
#include "utf8.h"

namespace {

// A UDP socket bound to 0.0.0.0:port, or -1 after printing the bind error
// line that starts with `what`.
int open_udp_socket(std::uint16_t port, std::string_view what) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int error = errno;
    log_line(std::string(what) + os_error_text(error) + "\n");
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    const int error = errno;
    close(fd);
    log_line(std::string(what) + os_error_text(error) + "\n");
    return -1;
  }
  return fd;
}

}  // namespace

void broadcast_loop(const std::string& room, const std::string& host,
                    std::uint32_t node_count,
                    const std::shared_ptr<PeerTable>& table, float ram) {
  const int fd = open_udp_socket(0, "[pim-node] broadcast bind error: ");
  if (fd < 0) return;
  const int enable = 1;
  // A failure here only means that every send below fails.
  (void)setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
  const std::string payload = format_announcement(room, host, ram, node_count);
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  destination.sin_port = htons(DISCOVERY_PORT);
  for (;;) {
    // Send errors are ignored: a node that cannot be heard keeps cycling.
    (void)sendto(fd, payload.data(), payload.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&destination),
                 sizeof destination);
    {
      MutexLock lock(table->mutex);
      prune_stale(*table, MonotonicClock::now());
    }
    std::this_thread::sleep_for(BROADCAST_PERIOD);
  }
}

void listen_loop(const std::string& room,
                 const std::shared_ptr<PeerTable>& table) {
  const int fd =
      open_udp_socket(DISCOVERY_PORT, "[pim-node] listen bind error: ");
  if (fd < 0) return;
  timeval timeout{};
  timeout.tv_sec = RECEIVE_TIMEOUT.count();
  // Without the timeout the receive simply blocks; nothing depends on it.
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::array<char, DATAGRAM_BUFFER_SIZE> buffer;
  for (;;) {
    sockaddr_in source{};
    socklen_t source_length = sizeof source;
    // A longer datagram is cut to the buffer; its rest is lost.
    const ssize_t received =
        recvfrom(fd, buffer.data(), buffer.size(), 0,
                 reinterpret_cast<sockaddr*>(&source), &source_length);
    if (received < 0 || source.sin_family != AF_INET) continue;
    handle_datagram(
        std::string_view(buffer.data(), static_cast<std::size_t>(received)),
        IpAddress::from_v4(source.sin_addr), room, *table);
  }
}

void handle_datagram(std::string_view bytes, const IpAddress& sender,
                     std::string_view room, PeerTable& table) {
  if (!is_valid_utf8(bytes)) return;
  parse_announcement(bytes, sender, room, table);
}
