// The reference that the announcement listener is measured against: a loop
// that receives datagrams on the listener's socket setup (UDP, 0.0.0.0, a
// 5 s receive timeout, a 256-byte buffer, the source address taken) and only
// counts them. On SIGTERM or SIGINT it prints "received=N" and exits.
//
//   reference_receiver [--port 47832]
//
// Run it only inside a private network namespace.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>

#include "options.h"

namespace {

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

}  // namespace

int main(int argc, char** argv) {
  const Options options(argc, argv, {{"port", "47832"}});
  // No SA_RESTART: the signal interrupts the blocked receive.
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(options.integer("port")));
  if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address),
                     sizeof address) != 0) {
    std::perror("reference_receiver");
    return 1;
  }
  timeval timeout{};
  timeout.tv_sec = 5;
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  std::array<char, 256> buffer;
  unsigned long long received = 0;
  while (stop_requested == 0) {
    sockaddr_in source{};
    socklen_t source_length = sizeof source;
    if (recvfrom(fd, buffer.data(), buffer.size(), 0,
                 reinterpret_cast<sockaddr*>(&source), &source_length) >= 0) {
      ++received;
    }
  }
  std::printf("received=%llu\n", received);
  return 0;
}
