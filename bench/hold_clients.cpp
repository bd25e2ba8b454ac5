// Holds a status endpoint on 127.0.0.1 the way hostile local programs would:
// --silent connections that never send a byte, and --nonreading ones that
// send a GET and never read the answer. A connection that the server ends
// (close or reset) is opened again at once; one whose connect fails is
// opened again 10 ms later. A non-reading connection asks for a small
// receive buffer and a small segment size before it connects: on loopback
// the server's send buffer would otherwise take a document of some hundred
// kilobytes whole, and the server would never wait on it.
//
//   hold_clients [--port 47833] [--silent 1000] [--nonreading 100]
//                [--seconds 30] [--rcvbuf 2048] [--mss 536]
//
// Runs for --seconds, then prints "opened=… established=… ended=…
// connect_failed=… held_silent=… held_nonreading=… seconds=…": connects
// started, connects that completed, connections the server ended, connects
// that failed, and the connections of each kind open at the end. One
// thread, one poll loop, so the tool costs the machine little besides what
// the server makes it do. Run it only inside a private network namespace.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "options.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view REQUEST =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
constexpr std::chrono::milliseconds RETRY_PAUSE{10};
constexpr int POLL_LIMIT_MS = 100;

enum class State { idle, connecting, open };

struct Slot {
  bool silent = true;  // false: sends GET and never reads
  State state = State::idle;
  int fd = -1;
  Clock::time_point retry_at{};
};

struct Counts {
  unsigned long long opened = 0;
  unsigned long long established = 0;
  unsigned long long ended = 0;
  unsigned long long connect_failed = 0;
};

struct Settings {
  sockaddr_in server{};
  int rcvbuf = 0;
  int mss = 0;
};

// Enough descriptors for every connection, raising the hard limit too when
// it is lower (which needs root).
bool raise_descriptor_limit(rlim_t needed) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= needed) return true;
  limit.rlim_cur = needed;
  limit.rlim_max = std::max(limit.rlim_max, needed);
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

void close_slot(Slot& slot) {
  if (slot.fd >= 0) close(slot.fd);
  slot.fd = -1;
  slot.state = State::idle;
}

void fail_connect(Slot& slot, Counts& counts) {
  close_slot(slot);
  ++counts.connect_failed;
  slot.retry_at = Clock::now() + RETRY_PAUSE;
}

void open_slot(Slot& slot, const Settings& settings, Counts& counts) {
  slot.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (slot.fd < 0) return fail_connect(slot, counts);
  ++counts.opened;
  if (!slot.silent) {
    // Set before connect: the window and segment size are agreed then.
    // Without them the attack is merely weaker.
    if (settings.rcvbuf > 0) {
      (void)setsockopt(slot.fd, SOL_SOCKET, SO_RCVBUF, &settings.rcvbuf,
                       sizeof settings.rcvbuf);
    }
    if (settings.mss > 0) {
      (void)setsockopt(slot.fd, IPPROTO_TCP, TCP_MAXSEG, &settings.mss,
                       sizeof settings.mss);
    }
  }
  if (connect(slot.fd, reinterpret_cast<const sockaddr*>(&settings.server),
              sizeof settings.server) != 0 &&
      errno != EINPROGRESS) {
    return fail_connect(slot, counts);
  }
  slot.state = State::connecting;
}

// Handles what poll reported for an open or connecting slot.
void serve_slot(Slot& slot, short revents, Counts& counts) {
  if (slot.state == State::connecting) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
        error != 0) {
      return fail_connect(slot, counts);
    }
    if ((revents & POLLOUT) == 0) return;
    ++counts.established;
    slot.state = State::open;
    if (!slot.silent &&
        send(slot.fd, REQUEST.data(), REQUEST.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(REQUEST.size())) {
      ++counts.ended;
      close_slot(slot);
    }
    return;
  }
  if (slot.silent) {
    // A silent connection reads only to see the server's close or reset.
    char buffer[512];
    for (;;) {
      const ssize_t got = recv(slot.fd, buffer, sizeof buffer, 0);
      if (got > 0) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (got < 0 && errno == EINTR) continue;
      break;
    }
  } else if ((revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0) {
    return;
  }
  ++counts.ended;
  close_slot(slot);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options(argc, argv,
                        {{"port", "47833"},
                         {"silent", "1000"},
                         {"nonreading", "100"},
                         {"seconds", "30"},
                         {"rcvbuf", "2048"},
                         {"mss", "536"}});
  Settings settings;
  settings.server.sin_family = AF_INET;
  settings.server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  settings.server.sin_port =
      htons(static_cast<std::uint16_t>(options.integer("port")));
  settings.rcvbuf = static_cast<int>(options.integer("rcvbuf"));
  settings.mss = static_cast<int>(options.integer("mss"));
  const auto silent = static_cast<std::size_t>(options.integer("silent"));
  const auto nonreading =
      static_cast<std::size_t>(options.integer("nonreading"));
  if (!raise_descriptor_limit(static_cast<rlim_t>(silent + nonreading + 16))) {
    std::perror("hold_clients: descriptor limit");
    return 1;
  }

  std::vector<Slot> slots(silent + nonreading);
  // The two kinds are interleaved, so that both reach the server's queue
  // whatever its bound.
  for (std::size_t i = 0; i < slots.size(); ++i) {
    slots[i].silent =
        (i + 1) * nonreading / slots.size() == i * nonreading / slots.size();
  }
  Counts counts;
  std::vector<pollfd> polled;
  std::vector<std::size_t> polled_slot;
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(options.number("seconds")));
  while (Clock::now() < deadline) {
    const auto now = Clock::now();
    polled.clear();
    polled_slot.clear();
    for (std::size_t i = 0; i < slots.size(); ++i) {
      Slot& slot = slots[i];
      if (slot.state == State::idle && slot.retry_at <= now) {
        open_slot(slot, settings, counts);
      }
      if (slot.state == State::idle) continue;
      short events = POLLRDHUP;
      if (slot.state == State::connecting) events = POLLOUT;
      if (slot.state == State::open && slot.silent) events |= POLLIN;
      polled.push_back({slot.fd, events, 0});
      polled_slot.push_back(i);
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int wait_ms =
        static_cast<int>(std::clamp<long long>(left.count(), 0, POLL_LIMIT_MS));
    // A slot waiting to retry is seen again within RETRY_PAUSE.
    const bool retrying =
        std::any_of(slots.begin(), slots.end(),
                    [](const Slot& s) { return s.state == State::idle; });
    const int ready =
        poll(polled.data(), polled.size(),
             retrying ? std::min<int>(wait_ms, RETRY_PAUSE.count()) : wait_ms);
    if (ready <= 0) continue;
    for (std::size_t k = 0; k < polled.size(); ++k) {
      if (polled[k].revents != 0) {
        serve_slot(slots[polled_slot[k]], polled[k].revents, counts);
      }
    }
  }

  std::size_t held_silent = 0;
  std::size_t held_nonreading = 0;
  for (const Slot& slot : slots) {
    if (slot.state != State::open) continue;
    if (slot.silent) {
      ++held_silent;
    } else {
      ++held_nonreading;
    }
  }
  std::printf(
      "opened=%llu established=%llu ended=%llu connect_failed=%llu "
      "held_silent=%zu held_nonreading=%zu seconds=%.3f\n",
      counts.opened, counts.established, counts.ended, counts.connect_failed,
      held_silent, held_nonreading,
      std::chrono::duration<double>(Clock::now() - start).count());
  for (Slot& slot : slots) close_slot(slot);
  return 0;
}
