#include "status_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>
#include <thread>

#include "log.h"
#include "text_format.h"

namespace {

constexpr int LISTEN_BACKLOG = 128;
constexpr std::chrono::milliseconds ACCEPT_FAILURE_PAUSE{100};

// Host names come from the network, so they are escaped as JSON strings.
void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  append_json_escaped(out, text);
  out.push_back('"');
}

// NaN and the infinities have no JSON form; they are written as null.
void append_json_ram(std::string& out, float ram) {
  out.append(std::isfinite(ram) ? format_fixed(ram, 1) : "null");
}

// Writes all of `data`, continuing after partial writes and EINTR, and
// stops at any other error, at a send that takes nothing, or at `deadline`.
void write_all(int fd, std::string_view data,
               std::chrono::steady_clock::time_point deadline) {
  while (!data.empty()) {
    const ssize_t sent =
        send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent == 0) return;
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EAGAIN && error != EWOULDBLOCK) return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd writable{fd, POLLOUT, 0};
    if (poll(&writable, 1, static_cast<int>(left.count())) < 0 &&
        errno != EINTR) {
      return;
    }
  }
}

bool is_resource_shortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS ||
         error == ENOMEM;
}

}  // namespace

std::string status_response(std::string_view host, PeerTable& table,
                            float ram) {
  static constexpr std::string_view HEAD =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: ";
  static constexpr std::string_view HEAD_END =
      "\r\nAccess-Control-Allow-Origin: *\r\n\r\n";
  // The whole response is built in one buffer: the body first, the head put
  // in front of it once the body's length is known. One allocation of about
  // the final size keeps a large table from costing a page fault per page
  // of every response.
  std::string response;
  table.read([&](const PeerMap& peers) {
    std::size_t estimate =
        HEAD.size() + HEAD_END.size() + 20 + 96 + host.size();
    for (const auto& [address, peer] : peers) estimate += 32 + peer.host.size();
    response.reserve(estimate);
    response.append(R"({"self":{"host":)");
    append_json_string(response, host);
    response.append(R"(,"ram":)");
    append_json_ram(response, ram);
    response.append(R"(},"peers":[)");
    float total = -0.0f;
    bool first = true;
    for (const auto& [address, peer] : peers) {
      if (!first) response.push_back(',');
      first = false;
      response.append(R"({"host":)");
      append_json_string(response, peer.host);
      response.append(R"(,"ram":)");
      append_json_ram(response, peer.ram);
      response.push_back('}');
      total += peer.ram;
    }
    total += ram;
    response.append(R"(],"total_ram":)");
    append_json_ram(response, total);
    response.push_back('}');
  });
  std::string head(HEAD);
  head.append(std::to_string(response.size())).append(HEAD_END);
  response.insert(0, head);
  return response;
}

void handle_status(int fd, std::string_view host, PeerTable& table, float ram,
                   std::chrono::milliseconds time_limit) {
  const auto deadline = std::chrono::steady_clock::now() + time_limit;
  write_all(fd, status_response(host, table, ram), deadline);
}

void serve_connection(int fd, std::string_view host, PeerTable& table,
                      float ram, std::chrono::milliseconds time_limit) {
  // A client that sends nothing is dropped once the limit has passed.
  timeval timeout{};
  timeout.tv_sec = time_limit.count() / 1000;
  timeout.tv_usec = static_cast<suseconds_t>(time_limit.count() % 1000 * 1000);
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::array<char, REQUEST_READ_SIZE> request;
  // One read only, and an interrupted read counts as a failed one.
  const ssize_t got = recv(fd, request.data(), request.size(), 0);
  if (got >= 3 && std::memcmp(request.data(), "GET", 3) == 0) {
    handle_status(fd, host, table, ram, time_limit);
    // The end of the response goes out before close, which may reset the
    // connection when request bytes were left unread.
    (void)shutdown(fd, SHUT_WR);
  }
  close(fd);
}

void status_server(const NodeConfig& config,
                   const std::shared_ptr<PeerTable>& table) {
  const auto fail = [](int fd, int error) {
    if (fd >= 0) close(fd);
    log_line("[pim-node] status server error: " + os_error_text(error) + "\n");
  };
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(-1, errno);
  const int enable = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) != 0)
    return fail(fd, errno);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(STATUS_PORT);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0)
    return fail(fd, errno);
  if (listen(fd, LISTEN_BACKLOG) != 0) return fail(fd, errno);
  for (;;) {
    const int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      const int error = errno;
      // Out of descriptors or memory: pause rather than spin on accept.
      if (is_resource_shortage(error))
        std::this_thread::sleep_for(ACCEPT_FAILURE_PAUSE);
      continue;
    }
    serve_connection(connection, config.host, *table, config.ram,
                     CONNECTION_TIME_LIMIT);
  }
}
