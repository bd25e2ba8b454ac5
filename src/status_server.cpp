#include "status_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "log.h"
#include "status_document.h"

namespace {

constexpr int LISTEN_BACKLOG = 128;
// After an accept error that is not part of normal operation (or a failed
// poll), the socket is left alone this long: a lasting error then costs a
// few calls a second instead of a spinning thread.
constexpr std::chrono::milliseconds FAILURE_PAUSE{100};
// How often an answered connection is checked for the acknowledgement of its
// whole response.
constexpr std::chrono::milliseconds FINISH_CHECK_INTERVAL{20};

using Clock = std::chrono::steady_clock;

enum class Stage {
  kRequest,    // accepted; its one read not made yet
  kWaiting,    // a GET read; waiting for responses to free memory
  kResponse,   // answering; `sent` bytes of `response` are written
  kFinishing,  // all written and the end of stream queued behind it
};

struct Connection {
  int fd = -1;  // -1 once closed
  Stage stage = Stage::kRequest;
  // The end of the time to send the request, then of the time to take the
  // whole response.
  Clock::time_point deadline;
  std::shared_ptr<const std::string> response;
  std::size_t sent = 0;
};

class StatusLoop {
 public:
  StatusLoop(int listen_fd, const NodeConfig& config, PeerTable& table,
             std::chrono::milliseconds time_limit)
      : listen_fd_(listen_fd),
        config_(config),
        table_(table),
        time_limit_(time_limit) {
    connections_.reserve(MAX_STATUS_CONNECTIONS + 1);
    polled_.reserve(MAX_STATUS_CONNECTIONS + 1);
  }

  [[noreturn]] void run() {
    for (;;) {
      const std::size_t polled = wait();
      const auto now = Clock::now();
      for (std::size_t i = 0; i < polled; ++i) {
        serve(connections_[i], polled_[i + 1].revents, now);
      }
      if (polled_[0].revents != 0) accept_pending(now);
      start_waiting(now);
      std::erase_if(connections_, [](const Connection& c) { return c.fd < 0; });
      responses_.end_turn();
    }
  }

 private:
  // Polls the listening socket and every held connection until one is ready
  // or the earliest time limit, and returns how many connections were polled
  // (the first ones of connections_, in polled_ after the listening socket).
  std::size_t wait() {
    const auto now = Clock::now();
    std::optional<Clock::time_point> wake;
    const auto wake_by = [&wake](Clock::time_point at) {
      if (!wake || at < *wake) wake = at;
    };
    polled_.clear();
    // While every held connection is answering, new ones wait in the
    // backlog (once it is full the kernel makes clients retry): each answer
    // ends within its time limit, while a connection accepted only to be
    // closed would cost its client the request.
    const bool room = held_ < MAX_STATUS_CONNECTIONS || has_request_pending();
    if (now < accept_resume_) wake_by(accept_resume_);
    const bool listening = room && now >= accept_resume_;
    polled_.push_back(pollfd{listening ? listen_fd_ : -1, POLLIN, 0});
    for (const Connection& c : connections_) {
      switch (c.stage) {
        case Stage::kRequest:
          polled_.push_back(pollfd{c.fd, POLLIN, 0});
          wake_by(c.deadline);
          break;
        case Stage::kResponse:
          polled_.push_back(pollfd{c.fd, POLLOUT, 0});
          wake_by(c.deadline);
          break;
        case Stage::kWaiting:
          polled_.push_back(pollfd{-1, 0, 0});
          wake_by(c.deadline);
          break;
        case Stage::kFinishing:
          // Nothing signals the acknowledgement, and a half-closed socket
          // reports POLLHUP without end, so it is looked at on a timer.
          polled_.push_back(pollfd{-1, 0, 0});
          wake_by(std::min(c.deadline, now + FINISH_CHECK_INTERVAL));
          break;
      }
    }
    int timeout = -1;
    if (wake) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
      timeout = static_cast<int>(
          std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
    }
    if (poll(polled_.data(), polled_.size(), timeout) < 0) {
      const int error = errno;
      for (pollfd& p : polled_) p.revents = 0;
      // Only a shortage of kernel memory fails here; wait for it to pass.
      if (error != EINTR) std::this_thread::sleep_for(FAILURE_PAUSE);
    }
    return connections_.size();
  }

  bool has_request_pending() const {
    return std::any_of(connections_.begin(), connections_.end(),
                       [](const Connection& c) {
                         return c.fd >= 0 && c.stage == Stage::kRequest;
                       });
  }

  void serve(Connection& c, short revents, Clock::time_point now) {
    switch (c.stage) {
      case Stage::kRequest:
        if (revents != 0 && read_request(c, now)) return;
        // A client that sends nothing is dropped once its time has passed.
        if (now >= c.deadline) close_connection(c);
        return;
      case Stage::kWaiting:
        return;  // see start_waiting
      case Stage::kResponse:
        if (revents != 0) {
          write_response(c, now);
        } else if (now >= c.deadline) {
          reset_connection(c);
        }
        return;
      case Stage::kFinishing:
        check_finished(c, now);
        return;
    }
  }

  // Makes the connection's one read and answers a GET or closes it. Returns
  // false, with nothing read, when no byte has arrived yet: a readiness that
  // came to nothing is not the read.
  bool read_request(Connection& c, Clock::time_point now) {
    std::array<char, REQUEST_READ_SIZE> request;
    const ssize_t got = recv(c.fd, request.data(), request.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    // A failed read, an interrupted one included, is not answered.
    if (got < 3 || std::memcmp(request.data(), "GET", 3) != 0) {
      close_connection(c);
      return true;
    }
    handle_status(c, now);
    return true;
  }

  // Answers a request that passed the GET check: the document is built
  // under the table's lock (or shared, see SharedResponse) and written after
  // it is released, within the time limit from now.
  void handle_status(Connection& c, Clock::time_point now) {
    c.deadline = now + time_limit_;
    if (response_bytes_held() >= RESPONSE_MEMORY_BUDGET) {
      c.stage = Stage::kWaiting;
      return;
    }
    start_response(c, now);
  }

  void start_response(Connection& c, Clock::time_point now) {
    c.stage = Stage::kResponse;
    c.response = responses_.get(config_.host, table_, config_.ram);
    write_response(c, now);
  }

  // Starts the waiting answers, oldest first, while the responses being
  // written leave room; one whose time ran out while it waited is reset.
  void start_waiting(Clock::time_point now) {
    for (Connection& c : connections_) {
      if (c.fd < 0 || c.stage != Stage::kWaiting) continue;
      if (now >= c.deadline) {
        reset_connection(c);
      } else if (response_bytes_held() < RESPONSE_MEMORY_BUDGET) {
        start_response(c, now);
      }
    }
  }

  // The bytes of the responses being written, each buffer counted once.
  std::size_t response_bytes_held() const {
    std::vector<const std::string*> counted;
    std::size_t bytes = 0;
    for (const Connection& c : connections_) {
      if (c.fd < 0 || !c.response) continue;
      const std::string* buffer = c.response.get();
      if (std::find(counted.begin(), counted.end(), buffer) != counted.end()) {
        continue;
      }
      counted.push_back(buffer);
      bytes += buffer->size();
    }
    return bytes;
  }

  // Writes what the socket takes, continuing after partial writes and EINTR;
  // any other error, or a write that takes nothing, ends the connection and
  // is otherwise ignored.
  void write_response(Connection& c, Clock::time_point now) {
    const std::string& data = *c.response;
    while (c.sent < data.size()) {
      const ssize_t sent =
          send(c.fd, data.data() + c.sent, data.size() - c.sent, MSG_NOSIGNAL);
      if (sent > 0) {
        c.sent += static_cast<std::size_t>(sent);
        continue;
      }
      const int error = sent < 0 ? errno : 0;
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        if (now >= c.deadline) reset_connection(c);
        return;
      }
      close_connection(c);
      return;
    }
    c.response.reset();
    (void)shutdown(c.fd, SHUT_WR);  // a failure only means the client has gone
    c.stage = Stage::kFinishing;
    check_finished(c, now);
  }

  // A close with request bytes left unread resets the connection, and the
  // reset throws away whatever the client has not acknowledged yet; so an
  // answered connection is closed only once its response and end of stream
  // are acknowledged, or reset when its time runs out first.
  void check_finished(Connection& c, Clock::time_point now) {
    int unacknowledged = 0;
    if (ioctl(c.fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0) {
      close_connection(c);
    } else if (now >= c.deadline) {
      reset_connection(c);
    }
  }

  // Accepts every pending connection, so that the backlog never fills.
  void accept_pending(Clock::time_point now) {
    for (;;) {
      if (held_ >= MAX_STATUS_CONNECTIONS && !has_request_pending()) {
        return;
      }
      const int fd =
          accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED) continue;
        if (error == EAGAIN || error == EWOULDBLOCK) return;
        // Out of descriptors or memory, or a fault of the socket itself:
        // retrying at once would only spin.
        accept_resume_ = now + FAILURE_PAUSE;
        return;
      }
      Connection accepted;
      accepted.fd = fd;
      accepted.deadline = now + time_limit_;
      connections_.push_back(std::move(accepted));
      ++held_;
      if (held_ > MAX_STATUS_CONNECTIONS && !make_room(now)) {
        // Every older connection turned out to have sent its request and is
        // being answered; the new one is refused rather than any answer cut.
        close_connection(connections_.back());
      }
    }
  }

  // Drops the connection that has waited longest without sending its
  // request. A waiting connection whose request has arrived (readiness not
  // polled yet) gets its read now instead, and the search goes on. Returns
  // false when no connection older than the newest could be let go.
  bool make_room(Clock::time_point now) {
    for (std::size_t i = 0; i + 1 < connections_.size(); ++i) {
      Connection& c = connections_[i];
      if (c.fd < 0 || c.stage != Stage::kRequest) continue;
      if (!read_request(c, now)) close_connection(c);
      if (c.fd < 0) return true;
    }
    return false;
  }

  void close_connection(Connection& c) {
    close(c.fd);
    c.fd = -1;
    c.response.reset();
    --held_;
  }

  // Ends the connection with a reset, so that a client whose time ran out
  // sees an error rather than a clean end after a cut document.
  void reset_connection(Connection& c) {
    const linger abort{1, 0};
    (void)setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &abort,
                     sizeof abort);  // a failure only means a clean close
    close_connection(c);
  }

  const int listen_fd_;
  const NodeConfig& config_;
  PeerTable& table_;
  const std::chrono::milliseconds time_limit_;
  // Accepted order, so the first waiting one has waited longest; closed ones
  // are dropped at the end of each turn.
  std::vector<Connection> connections_;
  std::size_t held_ = 0;  // the open ones among connections_
  std::vector<pollfd> polled_;
  Clock::time_point accept_resume_{};
  SharedResponse responses_;
};

}  // namespace

void serve_status(int listen_fd, const NodeConfig& config, PeerTable& table,
                  std::chrono::milliseconds time_limit) {
  StatusLoop(listen_fd, config, table, time_limit).run();
}

void status_server(const NodeConfig& config,
                   const std::shared_ptr<PeerTable>& table) {
  const auto fail = [](int fd, int error) {
    if (fd >= 0) close(fd);
    log_line("status server error: " + os_error_text(error));
  };
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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
  serve_status(fd, config, *table);
}
