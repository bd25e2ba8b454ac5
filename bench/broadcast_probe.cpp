// Watches a node's own broadcasts from another namespace (joined to the
// node's by a veth pair): binds UDP 0.0.0.0:--port and prints one line per
// datagram, "t=<seconds> from=<address> bytes=<n>", t being the moment the
// kernel took the datagram in (its receive timestamp), on the monotonic clock
// (CLOCK_MONOTONIC) that the other tools print. The timestamp is taken while
// the sender's datagram crosses the veth, so a busy machine that runs this
// probe late does not shift it. Stops after --seconds.
//
//   broadcast_probe [--port 47832] [--seconds 60]
//
// Run it only inside a private network namespace.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "options.h"

namespace {

double seconds_of(const timespec& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double clock_seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return seconds_of(now);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options(argc, argv, {{"port", "47832"}, {"seconds", "60"}});
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(options.integer("port")));
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address),
                     sizeof address) != 0) {
    std::perror("broadcast_probe");
    return 1;
  }
  const int enable = 1;
  // Without kernel timestamps the probe falls back to its own reading of the
  // clock when it gets the datagram.
  (void)setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &enable, sizeof enable);
  // The receive wakes at least once a second to notice the deadline.
  timeval timeout{};
  timeout.tv_sec = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  // The kernel stamps datagrams on the real-time clock; the offset to the
  // monotonic clock is read once (no step of the real-time clock is expected
  // within a run).
  const double offset =
      clock_seconds(CLOCK_REALTIME) - clock_seconds(CLOCK_MONOTONIC);
  const double deadline =
      clock_seconds(CLOCK_MONOTONIC) + options.number("seconds");
  char buffer[2048];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  while (clock_seconds(CLOCK_MONOTONIC) < deadline) {
    sockaddr_in source{};
    iovec iov{buffer, sizeof buffer};
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = recvmsg(fd, &message, 0);
    if (got < 0) continue;
    double at = clock_seconds(CLOCK_MONOTONIC);
    for (cmsghdr* cmsg = CMSG_FIRSTHDR(&message); cmsg != nullptr;
         cmsg = CMSG_NXTHDR(&message, cmsg)) {
      if (cmsg->cmsg_level == SOL_SOCKET &&
          cmsg->cmsg_type == SCM_TIMESTAMPNS) {
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(cmsg), sizeof stamp);
        at = seconds_of(stamp) - offset;
      }
    }
    char from[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &source.sin_addr, from, sizeof from);
    std::printf("t=%.6f from=%s bytes=%zd\n", at, from, got);
    std::fflush(stdout);
  }
  return 0;
}
