// The reference that the status endpoint is measured against: the simplest
// single-threaded loop that accepts a connection, reads once, writes a fixed
// response (the node's own, captured beforehand) and closes. It answers only
// requests that begin with "GET", as the node does.
//
//   reference_status_server --response FILE [--port 47833]
//
// Serves 127.0.0.1 until it is killed. Run it only inside a private network
// namespace.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "options.h"

int main(int argc, char** argv) {
  const Options options(argc, argv, {{"response", ""}, {"port", "47833"}});
  std::ifstream file(options.text("response"), std::ios::binary);
  const std::string response((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  if (!file || response.empty()) {
    std::fprintf(stderr, "cannot read the response file\n");
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);

  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int enable = 1;
  (void)setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(options.integer("port")));
  if (listener < 0 ||
      bind(listener, reinterpret_cast<const sockaddr*>(&address),
           sizeof address) != 0 ||
      listen(listener, 128) != 0) {
    std::perror("reference_status_server");
    return 1;
  }
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    char request[64];
    const ssize_t got = recv(fd, request, sizeof request, 0);
    if (got >= 3 && std::memcmp(request, "GET", 3) == 0) {
      std::size_t sent = 0;
      while (sent < response.size()) {
        const ssize_t n = send(fd, response.data() + sent,
                               response.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
          sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          break;
        }
      }
    }
    close(fd);
  }
}
