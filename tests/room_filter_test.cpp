#include "room_filter.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "discovery.h"

namespace {

// The instruction count of the filter attached to `fd`; 0 when it has none.
// Asked with no room for the program, the kernel gives its length alone.
std::size_t attached_filter_length(int fd) {
  socklen_t length = 0;
  if (getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, nullptr, &length) != 0) {
    return 0;
  }
  return length;
}

using Clock = std::chrono::steady_clock;

// A UDP socket on 127.0.0.1 and a port the system chose; -1 on failure.
int loopback_socket(sockaddr_in& address) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The datagrams the kernel has dropped for the socket, a filter's drops
// among them.
std::uint32_t drops(int fd) {
  std::array<std::uint32_t, SK_MEMINFO_VARS> info{};
  socklen_t length = sizeof info;
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info.data(), &length) != 0) {
    ADD_FAILURE() << "SO_MEMINFO: errno " << errno;
  }
  return info[SK_MEMINFO_DROPS];
}

// Sends `datagram` to `to` and waits (2 s at most) until it is queued on
// `receiver`, giving its bytes, or counted as dropped there, giving nullopt.
std::optional<std::string> deliver(int sender, int receiver,
                                   const sockaddr_in& to,
                                   const std::string& datagram) {
  const std::uint32_t dropped_before = drops(receiver);
  if (sendto(sender, datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&to),
             sizeof to) != static_cast<ssize_t>(datagram.size())) {
    ADD_FAILURE() << "sendto: errno " << errno;
    return std::nullopt;
  }
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  while (Clock::now() < deadline) {
    std::array<char, 1024> buffer;
    const ssize_t got =
        recv(receiver, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got >= 0)
      return std::string(buffer.data(), static_cast<std::size_t>(got));
    if (drops(receiver) != dropped_before) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ADD_FAILURE() << "the datagram was neither queued nor dropped";
  return std::nullopt;
}

// Which datagrams the kernel keeps for a node of `room`, and that every one
// it drops is one the listener would ignore: read_datagram gets what the
// listener's 256-byte receive leaves of it.
TEST(RoomFilter, KeepsOnlyWhatTheListenerCouldRecord) {
  const std::string room_243(243, 'r');  // "MORUN-MESH|" + room + "|": 255
  const std::string room_244(244, 'r');  // 256 bytes of prefix
  const struct {
    std::string name;
    std::string room;
    std::string datagram;
    bool kept;
    bool read;  // read_datagram takes it
    std::size_t instructions;
  } cases[] = {
      {"own room", "lab", "MORUN-MESH|lab|alpha|8.00|1", true, true, 12},
      {"another room", "lab", "MORUN-MESH|kitchen|alpha|8.00|1", false, false,
       12},
      {"their room a prefix of ours", "lab", "MORUN-MESH|la|alpha|8.00|1",
       false, false, 12},
      {"ours a prefix of theirs", "lab", "MORUN-MESH|labs|alpha|8.00|1", false,
       false, 12},
      {"ends after the room", "lab", "MORUN-MESH|lab", false, false, 12},
      {"ends after the room's bar", "lab", "MORUN-MESH|lab|", true, false, 12},
      {"magic in lower case", "lab", "morun-mesh|lab|alpha|8.00|1", false,
       false, 12},
      {"empty", "lab", "", false, false, 12},
      {"300 bytes", "lab",
       "MORUN-MESH|lab|alpha|8.00|1|" + std::string(272, 'x'), true, true, 12},
      {"room with a bar", "la|b", "MORUN-MESH|la|b|alpha|8.00|1", false, false,
       1},
      {"longest room heard", room_243, "MORUN-MESH|" + room_243 + "||", true,
       true, 132},
      {"room past the read", room_244,
       "MORUN-MESH|" + room_244 + "|alpha|8.00|1", false, false, 1},
  };
  sockaddr_in from{};
  const int sender = loopback_socket(from);
  ASSERT_GE(sender, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sockaddr_in to{};
    const int receiver = loopback_socket(to);
    ASSERT_GE(receiver, 0);
    EXPECT_EQ(attach_room_filter(receiver, c.room), 0);
    EXPECT_EQ(attached_filter_length(receiver), c.instructions);
    const auto arrived = deliver(sender, receiver, to, c.datagram);
    close(receiver);
    EXPECT_EQ(arrived.has_value(), c.kept);
    // A kept datagram arrives whole, never trimmed by the filter.
    if (arrived) {
      EXPECT_EQ(*arrived, c.datagram);
    }
    const std::string_view seen =
        std::string_view(c.datagram).substr(0, DATAGRAM_BUFFER_SIZE);
    const bool read = read_datagram(seen, c.room).has_value();
    EXPECT_EQ(read, c.read);
    EXPECT_TRUE(arrived || !read) << "dropped a datagram the node records";
  }
  close(sender);
}

TEST(RoomFilter, RefusedLeavesTheSocketUnfiltered) {
  sockaddr_in address{};
  const int fd = loopback_socket(address);
  ASSERT_GE(fd, 0);
  const int locked = 1;
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &locked, sizeof locked),
            0);
  const int error = attach_room_filter(fd, "lab");
  EXPECT_EQ(error, EPERM);
  EXPECT_EQ(attached_filter_length(fd), 0u);
  close(fd);
  EXPECT_EQ(room_filter_refused_line(error),
            "room filter not attached: Operation not permitted (os error 1); "
            "datagrams of other rooms reach the listener");
}

}  // namespace
