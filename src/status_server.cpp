#include "status_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
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
#include "version.h"

namespace {

constexpr int LISTEN_BACKLOG = 128;
// After an accept error that is not part of normal operation (or a failed
// poll), the socket is left alone this long: a lasting error then costs a
// few calls a second instead of a spinning thread.
constexpr std::chrono::milliseconds FAILURE_PAUSE{100};
// How often an answered connection is checked for the acknowledgement of its
// whole response.
constexpr std::chrono::milliseconds FINISH_CHECK_INTERVAL{20};
// A response of at most this many bytes to a request read whole is closed as
// soon as it is written (see write_response).
constexpr std::size_t CLOSE_AT_ONCE_BYTES = std::size_t{64} << 10;

using Clock = std::chrono::steady_clock;

// What a connection waits for before its next step: the poll events of its
// descriptor, or none when nothing the descriptor reports can move it on (it
// is then stepped on every turn), and the time by which the loop turns for it
// whatever happens.
struct Wait {
  short events = 0;
  Clock::time_point until;
};

enum class Stage {
  kRequest,    // accepted; its one read not made yet
  kAnswer,     // a GET read; its response not given yet (handle_status)
  kResponse,   // answering; `sent` bytes of `response` are written
  kFinishing,  // all written and the end of stream queued behind it
};

// One accepted connection, from its accept to its close: a passive object.
// wait() says what its next step waits for, step() takes that step once it
// has come, end() ends a connection whose time is up. A connection closes its
// descriptor itself when it is done, and a closed one is never stepped again.
struct Connection {
  int fd = -1;  // -1 once closed
  Stage stage = Stage::kRequest;
  Clock::time_point accepted;
  // The end of the time to send the request, then of the time to take the
  // whole response.
  Clock::time_point deadline;
  std::shared_ptr<const std::string> response;
  std::size_t sent = 0;
  // Where the connection's end is counted; set at accept.
  NodeCounters* counters = nullptr;
  bool metrics_on = false;     // --metrics: the request's path is looked at
  bool wants_metrics = false;  // its GET asked for /metrics
  // Its one read took the request up to the blank line that ends it, and
  // nothing was left unread.
  bool request_whole = false;

  Wait wait(Clock::time_point now) const {
    switch (stage) {
      case Stage::kRequest:
        return {POLLIN, deadline};
      case Stage::kAnswer:
        return {0, deadline};
      case Stage::kResponse:
        return {POLLOUT, deadline};
      case Stage::kFinishing:
        // Nothing signals the acknowledgement, and a half-closed socket
        // reports POLLHUP without end, so it is looked at on a timer.
        return {0, std::min(deadline, now + FINISH_CHECK_INTERVAL)};
    }
    return {0, deadline};
  }

  // The step that the connection waits for: its descriptor is ready, or it
  // waits on none. A GET read here waits for the loop's handle_status.
  void step(Clock::time_point now, std::chrono::milliseconds time_limit) {
    switch (stage) {
      case Stage::kRequest:
        // When nothing has arrived after all, it goes on waiting.
        (void)read_request(now, time_limit);
        return;
      case Stage::kAnswer:
        return;
      case Stage::kResponse:
        write_response();
        return;
      case Stage::kFinishing:
        check_finished();
        return;
    }
  }

  // Makes the connection's one read: a GET is then to be answered, with
  // `time_limit` from now to take its response; anything else closes the
  // connection. Returns false, with nothing read, when no byte has arrived
  // yet: a readiness that came to nothing is not the read.
  bool read_request(Clock::time_point now,
                    std::chrono::milliseconds time_limit) {
    std::array<char, REQUEST_READ_SIZE> request;
    const ssize_t got = recv(fd, request.data(), request.size(), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    // A failed read, an interrupted one included, is not answered.
    if (got < 3 || std::memcmp(request.data(), "GET", 3) != 0) {
      counters->count(StatusResult::kNotGet);
      close_connection();
    } else {
      const std::string_view text(request.data(),
                                  static_cast<std::size_t>(got));
      wants_metrics = is_metrics_request(text, metrics_on);
      request_whole = text.size() < request.size() &&
                      (text.ends_with("\r\n\r\n") || text.ends_with("\n\n"));
      stage = Stage::kAnswer;
      deadline = now + time_limit;
    }
    return true;
  }

  // Starts writing `bytes`, the response to the GET read.
  void answer(std::shared_ptr<const std::string> bytes) {
    response = std::move(bytes);
    stage = Stage::kResponse;
    write_response();
  }

  // Writes what the socket takes, continuing after partial writes and EINTR;
  // the rest waits for the socket to take more. Any other error, or a write
  // that takes nothing, closes the connection, which is then counted as
  // closed unanswered.
  // MSG_MORE holds back the last part-filled segment, which the close or
  // shutdown that follows the whole response sends with the end of stream:
  // one segment less, and one acknowledgement less, for every answer.
  void write_response() {
    const std::string& data = *response;
    while (sent < data.size()) {
      const ssize_t written = send(fd, data.data() + sent, data.size() - sent,
                                   MSG_NOSIGNAL | MSG_MORE);
      if (written > 0) {
        sent += static_cast<std::size_t>(written);
        continue;
      }
      const int error = written < 0 ? errno : 0;
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) return;
      // The client has gone (reset, or shut its side for good) before it
      // took the whole response.
      counters->count(StatusResult::kNotGet);
      close_connection();
      return;
    }
    const std::size_t size = data.size();
    response.reset();
    counters->count(StatusResult::kAnswered);
    // A client whose whole request was read sends nothing more, so closing
    // cannot meet unread bytes and reset; what of a response this small is
    // still queued (a loopback client's first window is larger) the kernel
    // sends on after the close.
    if (request_whole && size <= CLOSE_AT_ONCE_BYTES) {
      close_connection();
      return;
    }
    (void)shutdown(fd, SHUT_WR);  // a failure only means the client has gone
    stage = Stage::kFinishing;
    check_finished();
  }

  // A close with request bytes left unread resets the connection, and the
  // reset throws away whatever the client has not acknowledged yet; so an
  // answered connection is closed only once its response and end of stream
  // are acknowledged (or reset by end() when its time runs out first).
  void check_finished() {
    int unacknowledged = 0;
    if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0) {
      close_connection();
    }
  }

  // A client that never sent its request gets a plain close; one whose
  // response was not taken whole in time gets a reset, so that it sees an
  // error rather than a clean end after a cut document.
  void end() {
    // A finishing connection has been counted as answered.
    if (stage != Stage::kFinishing) counters->count(StatusResult::kTimedOut);
    if (stage == Stage::kRequest) {
      close_connection();
      return;
    }
    const linger abort{1, 0};
    (void)setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort,
                     sizeof abort);  // a failure only means a clean close
    close_connection();
  }

  // From when the connection may be dropped to make room for a new one: once
  // it has had its grace, while it has not sent its request (as far as the
  // loop has read); none once it has.
  std::optional<Clock::time_point> may_make_room_from() const {
    if (stage != Stage::kRequest) return std::nullopt;
    return accepted + ADMISSION_GRACE;
  }

  void close_connection() {
    close(fd);
    fd = -1;
    response.reset();
  }
};

bool is_closed(const Connection& c) { return c.fd < 0; }

class StatusLoop {
 public:
  StatusLoop(int listen_fd, const NodeConfig& config, PeerTable& table,
             NodeCounters& counters, std::size_t max_connections,
             std::chrono::milliseconds time_limit)
      : listen_fd_(listen_fd),
        config_(config),
        table_(table),
        counters_(counters),
        max_connections_(max_connections),
        time_limit_(time_limit) {}

  [[noreturn]] void run() {
    for (;;) {
      const bool accept_ready = wait();
      const auto now = Clock::now();
      step_connections(now);
      if (accept_ready) accept_pending(now);
      answer_requests(now);
      responses_.expire(now);
    }
  }

 private:
  // Polls the connections that wait on their descriptors and, while there is
  // room and no failure pause, the listening socket, until one is ready or
  // the earliest time by which a connection, the pause, room for a newcomer
  // or the kept response wants a turn. Returns whether the listening socket
  // is ready.
  bool wait() {
    const auto now = Clock::now();
    std::optional<Clock::time_point> wake;
    const auto wake_by = [&wake](Clock::time_point at) {
      if (!wake || at < *wake) wake = at;
    };
    polled_.clear();
    for (const Connection& c : connections_) {
      const Wait next = c.wait(now);
      if (next.events != 0) polled_.push_back(pollfd{c.fd, next.events, 0});
      wake_by(next.until);
    }
    if (now < accept_resume_) wake_by(accept_resume_);
    const std::optional<Clock::time_point> room = room_from(now);
    if (room && *room > now) wake_by(*room);
    if (const auto expiry = responses_.expires_at()) wake_by(*expiry);
    const bool listening = now >= accept_resume_ && room && *room <= now;
    if (listening) polled_.push_back(pollfd{listen_fd_, POLLIN, 0});
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
    return listening && polled_.back().revents != 0;
  }

  // The one pass of a turn over the connections polled in wait(): each that
  // is ready, or waits on no descriptor, takes its step; then each that is
  // past its deadline ends. The closed ones leave the list.
  void step_connections(Clock::time_point now) {
    std::size_t slot = 0;
    for (Connection& c : connections_) {
      // In the order wait() polled them, one slot for each that waits on
      // its descriptor.
      bool ready = true;
      if (c.wait(now).events != 0) ready = polled_[slot++].revents != 0;
      if (ready) c.step(now, time_limit_);
      if (!is_closed(c) && now >= c.deadline) c.end();
    }
    std::erase_if(connections_, is_closed);
  }

  // The one place where admission is decided: from when a connection
  // accepted can be held. At once while fewer than the bound are; else once
  // the oldest that has not sent its request has had its grace; never while
  // each has sent its request. Until then new connections wait in the backlog
  // (once it is full the kernel makes clients retry): each answer ends within
  // its time limit, while a connection accepted only to be closed would cost
  // its client the request.
  std::optional<Clock::time_point> room_from(Clock::time_point now) const {
    if (connections_.size() < max_connections_) return now;
    // In accepted order, so the first that may make room is the oldest.
    for (const Connection& c : connections_) {
      if (const auto from = c.may_make_room_from()) return from;
    }
    return std::nullopt;
  }

  bool has_room(Clock::time_point now) const {
    const std::optional<Clock::time_point> room = room_from(now);
    return room && *room <= now;
  }

  // Accepts every pending connection while there is room, so that the
  // backlog never fills.
  void accept_pending(Clock::time_point now) {
    while (has_room(now)) {
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
      accepted.accepted = now;
      accepted.deadline = now + time_limit_;
      accepted.counters = &counters_;
      accepted.metrics_on = config_.metrics;
      connections_.push_back(std::move(accepted));
      if (connections_.size() > max_connections_ && !make_room(now)) {
        // Every older connection turned out to have sent its request and is
        // being answered; the new one is refused rather than any answer cut.
        counters_.count(StatusResult::kDropped);
        connections_.back().close_connection();
        connections_.pop_back();
      }
    }
  }

  // Drops the connection that has waited longest without sending its
  // request, among those past their grace. One whose request has arrived
  // (readiness not polled yet) gets its read now instead, and the search goes
  // on. Returns false when no connection older than the newest could be let
  // go.
  bool make_room(Clock::time_point now) {
    for (auto c = connections_.begin(); c + 1 < connections_.end(); ++c) {
      const std::optional<Clock::time_point> from = c->may_make_room_from();
      if (!from || *from > now) continue;
      if (!c->read_request(now, time_limit_)) {
        counters_.count(StatusResult::kDropped);
        c->close_connection();
      }
      if (is_closed(*c)) {
        connections_.erase(c);
        return true;
      }
    }
    return false;
  }

  // Answers the requests read, oldest first, while the responses held (the
  // kept one and those being written) leave room in the budget; the others
  // wait, their time running, until a write ends.
  void answer_requests(Clock::time_point now) {
    for (Connection& c : connections_) {
      if (c.stage == Stage::kAnswer &&
          response_bytes_held() < RESPONSE_MEMORY_BUDGET) {
        handle_status(c, now);
      }
    }
    std::erase_if(connections_, is_closed);
  }

  // Answers one request that passed the GET check: the document is built
  // under the table's lock, or kept from an earlier request while the table
  // has not changed (see ResponseCache); the metrics from one read of the
  // table; either is written after the lock is released, within the time
  // limit from the request's read.
  void handle_status(Connection& c, Clock::time_point now) {
    if (c.wants_metrics) {
      c.answer(std::make_shared<const std::string>(metrics_response(
          metrics_text(counters_.snapshot(), metrics_gauges()))));
      return;
    }
    c.answer(responses_.get(config_.host, table_, config_.ram, now));
  }

  // The gauges now; the peers and their total from one read of the table.
  MetricsGauges metrics_gauges() {
    MetricsGauges gauges;
    table_.read([&](const PeerMap& peers) {
      gauges.peers = peers.size();
      gauges.total_ram = total_ram(peers, config_.ram);
    });
    gauges.peers_capacity = table_.capacity();
    gauges.ram = config_.ram;
    gauges.version = PIM_NODE_VERSION;
    gauges.start_time_seconds = config_.start_time;
    return gauges;
  }

  // The bytes of the kept response and of those being written, each buffer
  // counted once.
  std::size_t response_bytes_held() const {
    std::vector<const std::string*> counted;
    std::size_t bytes = 0;
    const auto count = [&](const std::string* buffer) {
      if (buffer == nullptr ||
          std::find(counted.begin(), counted.end(), buffer) != counted.end()) {
        return;
      }
      counted.push_back(buffer);
      bytes += buffer->size();
    };
    count(responses_.kept());
    for (const Connection& c : connections_) count(c.response.get());
    return bytes;
  }

  const int listen_fd_;
  const NodeConfig& config_;
  PeerTable& table_;
  NodeCounters& counters_;
  const std::size_t max_connections_;
  const std::chrono::milliseconds time_limit_;
  // Open connections in accepted order, so the first that may make room has
  // waited longest.
  std::vector<Connection> connections_;
  // The connections that wait on their descriptors, in order, then the
  // listening socket while it is polled.
  std::vector<pollfd> polled_;
  Clock::time_point accept_resume_{};
  ResponseCache responses_;
};

}  // namespace

std::size_t connection_bound(std::uint64_t open_files) {
  if (open_files <= DESCRIPTOR_RESERVE) return 1;
  return static_cast<std::size_t>(std::min<std::uint64_t>(
      open_files - DESCRIPTOR_RESERVE, MAX_STATUS_CONNECTIONS));
}

void serve_status(int listen_fd, const NodeConfig& config, PeerTable& table,
                  NodeCounters& counters, std::size_t max_connections,
                  std::chrono::milliseconds time_limit) {
  StatusLoop(listen_fd, config, table, counters, max_connections, time_limit)
      .run();
}

void status_server(const NodeConfig& config,
                   const std::shared_ptr<PeerTable>& table,
                   const std::shared_ptr<NodeCounters>& counters) {
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
  rlimit open_files{};
  // Without a reading the bound is that of the usual limit of 1,024.
  const std::uint64_t limit =
      getrlimit(RLIMIT_NOFILE, &open_files) == 0 ? open_files.rlim_cur : 1024;
  serve_status(fd, config, *table, *counters, connection_bound(limit));
}
