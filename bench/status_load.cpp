// Load driver for a status endpoint on 127.0.0.1, a new TCP connection per
// request (GET, read until the server closes, close). A request counts as
// answered when the whole response arrived: it starts with
// "HTTP/1.1 200 OK", its body is as long as its Content-Length says, and it
// is exactly --expect-bytes bytes when that is given. Every request has
// --timeout seconds in all; one that takes longer has failed.
//
//   status_load [--port 47833] [--clients 8] [--seconds 10] [--rate 0]
//               [--expect-bytes N] [--timeout 5] [--send-delay-ms 0]
//               [--watch HOST,...] [--count PREFIX] [--dump FILE]
//
// --send-delay-ms waits that long between the connection's completion and
// the request, as a client that is a little slow to write does; the wait
// counts in the request's latency.
// Closed loop (the default): --clients threads, each sending its next
// request when the last one ended, for --seconds; the latencies are those of
// the answered requests.
// Open loop (--rate R): one request every 1/R s for --seconds, whether or
// not the earlier ones have ended, as a dashboard that polls does; a request
// that fails ranks as taking the whole --timeout in the latencies, so that a
// percentile never hides a failure.
// Prints "answered=… failed=… seconds=… rate=… p50_us=… p99_us=… max_us=…".
// With --watch or --count (open loop only) each answered document is also
// read, and the line goes on with "entries_max=… counted_max=…" (the most
// peers, and the most peers whose host begins with PREFIX, in one document)
// and, for the N-th watched host from 0, "watchN_missing=… watchN_first_s=…
// watchN_rounds=… watchN_skipped=…": the documents that did not list it, the
// monotonic clock (CLOCK_MONOTONIC, seconds) when the first one that did
// arrived ("none" when none did), and, reading its ram as a round number
// (announce --ram round), how many rounds the documents showed and how many
// were skipped between two that they showed.
// With --dump it makes one request instead and writes the response to FILE.
// Run it only inside a private network namespace.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "options.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view REQUEST =
    "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
constexpr std::string_view STATUS_LINE = "HTTP/1.1 200 OK";
constexpr std::string_view LENGTH_FIELD = "\r\nContent-Length: ";

std::chrono::microseconds to_us(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::microseconds>(d);
}

// Whether `response` is a whole 200 response: its body as long as its
// Content-Length, and the whole `expect_bytes` long when that is >= 0.
bool is_whole(std::string_view response, long long expect_bytes) {
  if (!response.starts_with(STATUS_LINE)) return false;
  if (expect_bytes >= 0 &&
      response.size() != static_cast<std::size_t>(expect_bytes)) {
    return false;
  }
  const std::size_t head_end = response.find("\r\n\r\n");
  const std::size_t field = response.find(LENGTH_FIELD);
  if (head_end == std::string_view::npos || field == std::string_view::npos ||
      field > head_end) {
    return false;
  }
  const char* digits = response.data() + field + LENGTH_FIELD.size();
  char* end = nullptr;
  const unsigned long long length = std::strtoull(digits, &end, 10);
  return end != digits && length == response.size() - head_end - 4;
}

// One request on a new blocking connection, every step within `timeout`,
// sent `send_delay` after the connection was made; returns what arrived
// before the server closed (empty when connecting or sending failed).
std::string fetch(const sockaddr_in& server, std::chrono::milliseconds timeout,
                  std::chrono::milliseconds send_delay) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  timeval limit{};
  limit.tv_sec = timeout.count() / 1000;
  limit.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
  // Failures here only leave the exchange without its bound.
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const auto deadline = Clock::now() + timeout;
  std::string response;
  const bool connected = connect(fd, reinterpret_cast<const sockaddr*>(&server),
                                 sizeof server) == 0;
  if (connected && send_delay.count() > 0) {
    std::this_thread::sleep_for(send_delay);
  }
  if (connected && send(fd, REQUEST.data(), REQUEST.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(REQUEST.size())) {
    char buffer[16384];
    while (Clock::now() < deadline) {
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got > 0) {
        response.append(buffer, static_cast<std::size_t>(got));
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else {
        break;
      }
    }
  }
  close(fd);
  return response;
}

struct ClientResult {
  std::uint64_t answered = 0;
  std::uint64_t failed = 0;
  std::vector<std::uint32_t> latencies_us;
};

void run_client(const sockaddr_in& server, Clock::time_point deadline,
                long long expect_bytes, std::chrono::milliseconds timeout,
                std::chrono::milliseconds send_delay, ClientResult& result) {
  result.latencies_us.reserve(1 << 20);
  while (Clock::now() < deadline) {
    const auto start = Clock::now();
    const std::string response = fetch(server, timeout, send_delay);
    const auto took = to_us(Clock::now() - start);
    if (is_whole(response, expect_bytes)) {
      ++result.answered;
      result.latencies_us.push_back(static_cast<std::uint32_t>(took.count()));
    } else {
      ++result.failed;
    }
  }
}

// One watched host of --watch: what the documents showed of it.
struct Watched {
  std::string host;
  std::uint64_t missing = 0;
  std::optional<Clock::time_point> first;
  long long last_round = 0;
  std::uint64_t rounds = 0;
  std::uint64_t skipped = 0;
};

// What the open loop's answered documents showed (--watch, --count).
struct DocumentWatch {
  std::vector<Watched> hosts;
  std::string count_prefix;
  std::uint64_t entries_max = 0;
  std::uint64_t counted_max = 0;

  bool active() const { return !hosts.empty() || !count_prefix.empty(); }

  // Reads one whole response that arrived at `at`.
  void read(std::string_view response, Clock::time_point at) {
    constexpr std::string_view PEERS = "\"peers\":[";
    constexpr std::string_view ENTRY = "{\"host\":\"";
    const std::size_t peers = response.find(PEERS);
    if (peers == std::string_view::npos) return;
    const std::string_view list = response.substr(peers + PEERS.size());
    std::uint64_t entries = 0;
    std::uint64_t counted = 0;
    for (std::size_t at_entry = list.find(ENTRY);
         at_entry != std::string_view::npos;
         at_entry = list.find(ENTRY, at_entry + ENTRY.size())) {
      ++entries;
      if (!count_prefix.empty() &&
          list.substr(at_entry + ENTRY.size()).starts_with(count_prefix)) {
        ++counted;
      }
    }
    entries_max = std::max(entries_max, entries);
    counted_max = std::max(counted_max, counted);
    for (Watched& watched : hosts) {
      const std::string key = std::string(ENTRY) + watched.host + "\",\"ram\":";
      const std::size_t found = list.find(key);
      if (found == std::string_view::npos) {
        ++watched.missing;
        continue;
      }
      if (!watched.first) watched.first = at;
      const std::string ram(list.substr(found + key.size(), 24));
      const auto round =
          static_cast<long long>(std::strtod(ram.c_str(), nullptr));
      if (watched.rounds == 0 || round < watched.last_round) {
        watched.rounds = 1;
      } else if (round > watched.last_round) {
        ++watched.rounds;
        watched.skipped +=
            static_cast<std::uint64_t>(round - watched.last_round - 1);
      }
      watched.last_round = round;
    }
  }

  // Continues the output line.
  void print() const {
    std::printf(" entries_max=%llu counted_max=%llu",
                static_cast<unsigned long long>(entries_max),
                static_cast<unsigned long long>(counted_max));
    for (std::size_t n = 0; n < hosts.size(); ++n) {
      const Watched& watched = hosts[n];
      std::printf(" watch%zu_missing=%llu", n,
                  static_cast<unsigned long long>(watched.missing));
      if (watched.first) {
        std::printf(
            " watch%zu_first_s=%.6f", n,
            std::chrono::duration<double>(watched.first->time_since_epoch())
                .count());
      } else {
        std::printf(" watch%zu_first_s=none", n);
      }
      std::printf(" watch%zu_rounds=%llu watch%zu_skipped=%llu", n,
                  static_cast<unsigned long long>(watched.rounds), n,
                  static_cast<unsigned long long>(watched.skipped));
    }
  }
};

// One request of the open loop: a non-blocking connection in progress.
struct Pending {
  int fd = -1;
  Clock::time_point due;  // when the request was due to start
  bool connected = false;
  Clock::time_point send_at;  // once connected
  bool sent = false;
  std::string response;
};

// Open loop: a request every `period` until `stop`, each given `timeout`
// and sent `send_delay` after its connection was made. Latencies are taken
// from the moment each request was due, so that a late start of this loop
// counts against the server rather than hiding.
void run_open_loop(const sockaddr_in& server, Clock::duration period,
                   Clock::time_point stop, long long expect_bytes,
                   std::chrono::milliseconds timeout,
                   std::chrono::milliseconds send_delay, ClientResult& result,
                   DocumentWatch& watch) {
  const auto timeout_us = static_cast<std::uint32_t>(to_us(timeout).count());
  const auto finish = [&](Pending& request, bool answered) {
    close(request.fd);
    request.fd = -1;
    if (answered) {
      if (watch.active()) watch.read(request.response, Clock::now());
      ++result.answered;
      result.latencies_us.push_back(static_cast<std::uint32_t>(
          to_us(Clock::now() - request.due).count()));
    } else {
      ++result.failed;
      result.latencies_us.push_back(timeout_us);
    }
  };
  std::vector<Pending> pending;
  std::vector<pollfd> polled;
  char buffer[16384];
  auto next = Clock::now();
  while (next < stop || !pending.empty()) {
    const auto now = Clock::now();
    if (next <= now && next < stop) {
      Pending request;
      request.due = next;
      next += period;
      request.fd =
          socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (request.fd < 0) {
        ++result.failed;
        result.latencies_us.push_back(timeout_us);
        continue;
      }
      if (connect(request.fd, reinterpret_cast<const sockaddr*>(&server),
                  sizeof server) != 0 &&
          errno != EINPROGRESS) {
        finish(request, false);
        continue;
      }
      pending.push_back(std::move(request));
      continue;
    }
    for (auto& request : pending) {
      if (now - request.due >= timeout) finish(request, false);
    }
    std::erase_if(pending, [](const Pending& r) { return r.fd < 0; });

    polled.clear();
    for (const auto& request : pending) {
      // A connection waiting out its send delay is polled for errors only.
      short events = POLLOUT;
      if (request.sent) events = POLLIN;
      if (request.connected && !request.sent) events = 0;
      polled.push_back({request.fd, events, 0});
    }
    auto wake = next < stop ? next : Clock::time_point::max();
    for (const auto& request : pending) {
      wake = std::min(wake, request.due + timeout);
      if (request.connected && !request.sent) {
        wake = std::min(wake, request.send_at);
      }
    }
    // ppoll's nanoseconds let a request start when it is due, not up to a
    // millisecond later.
    const auto wait = std::clamp<Clock::duration>(
        wake - now, Clock::duration{0}, std::chrono::seconds{1});
    const auto wait_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    const timespec limit{static_cast<time_t>(wait_ns / 1000000000),
                         static_cast<long>(wait_ns % 1000000000)};
    // A timeout still lets requests whose send delay is over be sent.
    if (ppoll(polled.data(), polled.size(), &limit, nullptr) < 0) continue;
    for (std::size_t k = 0; k < pending.size(); ++k) {
      Pending& request = pending[k];
      if (!request.connected) {
        if (polled[k].revents == 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(request.fd, SOL_SOCKET, SO_ERROR, &error, &length) !=
                0 ||
            error != 0) {
          finish(request, false);
          continue;
        }
        request.connected = true;
        request.send_at = Clock::now() + send_delay;
      }
      if (!request.sent) {
        if ((polled[k].revents & (POLLERR | POLLHUP)) != 0) {
          finish(request, false);
        } else if (Clock::now() >= request.send_at) {
          if (send(request.fd, REQUEST.data(), REQUEST.size(), MSG_NOSIGNAL) !=
              static_cast<ssize_t>(REQUEST.size())) {
            finish(request, false);
          } else {
            request.sent = true;
          }
        }
        continue;
      }
      if (polled[k].revents == 0) continue;
      // Read what is there; the server's close ends the request.
      for (;;) {
        const ssize_t got = recv(request.fd, buffer, sizeof buffer, 0);
        if (got > 0) {
          request.response.append(buffer, static_cast<std::size_t>(got));
          continue;
        }
        if (got == 0) {
          finish(request, is_whole(request.response, expect_bytes));
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          finish(request, false);
        }
        break;
      }
    }
    std::erase_if(pending, [](const Pending& r) { return r.fd < 0; });
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options(argc, argv,
                        {{"port", "47833"},
                         {"clients", "8"},
                         {"seconds", "10"},
                         {"rate", "0"},
                         {"expect-bytes", "-1"},
                         {"timeout", "5"},
                         {"send-delay-ms", "0"},
                         {"watch", ""},
                         {"count", ""},
                         {"dump", ""}});
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<std::uint16_t>(options.integer("port")));
  const auto timeout = std::chrono::milliseconds(
      static_cast<long long>(options.number("timeout") * 1000));
  const long long expect_bytes = options.integer("expect-bytes");
  const std::chrono::milliseconds send_delay(options.integer("send-delay-ms"));
  DocumentWatch watch;
  watch.count_prefix = options.text("count");
  for (std::string_view list = options.text("watch"); !list.empty();) {
    const std::size_t comma = std::min(list.find(','), list.size());
    watch.hosts.emplace_back();
    watch.hosts.back().host = list.substr(0, comma);
    list.remove_prefix(std::min(comma + 1, list.size()));
  }

  if (!options.text("dump").empty()) {
    const std::string response = fetch(server, timeout, send_delay);
    if (!is_whole(response, -1)) return 1;
    std::FILE* file = std::fopen(options.text("dump").c_str(), "wb");
    if (file == nullptr) return 1;
    std::fwrite(response.data(), 1, response.size(), file);
    return std::fclose(file) == 0 ? 0 : 1;
  }

  const auto seconds = std::chrono::duration<double>(options.number("seconds"));
  const double rate = options.number("rate");
  if (send_delay.count() < 0 || (watch.active() && !(rate > 0))) {
    std::fprintf(stderr,
                 "status_load: --send-delay-ms >= 0; --watch and --count need "
                 "--rate\n");
    return 2;
  }
  std::vector<ClientResult> results;
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(seconds);
  if (rate > 0) {
    results.resize(1);
    run_open_loop(server,
                  std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(1.0 / rate)),
                  deadline, expect_bytes, timeout, send_delay, results[0],
                  watch);
  } else {
    const auto clients = static_cast<std::size_t>(options.integer("clients"));
    results.resize(clients);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < clients; ++i) {
      threads.emplace_back(run_client, std::cref(server), deadline,
                           expect_bytes, timeout, send_delay,
                           std::ref(results[i]));
    }
    for (auto& thread : threads) thread.join();
  }
  const double elapsed =
      std::chrono::duration<double>(Clock::now() - start).count();

  std::uint64_t answered = 0;
  std::uint64_t failed = 0;
  std::vector<std::uint32_t> latencies;
  for (const auto& result : results) {
    answered += result.answered;
    failed += result.failed;
    latencies.insert(latencies.end(), result.latencies_us.begin(),
                     result.latencies_us.end());
  }
  std::sort(latencies.begin(), latencies.end());
  const auto percentile = [&latencies](double p) -> std::uint32_t {
    if (latencies.empty()) return 0;
    return latencies[static_cast<std::size_t>(
        p * static_cast<double>(latencies.size() - 1))];
  };
  std::printf(
      "answered=%llu failed=%llu seconds=%.3f rate=%.1f p50_us=%u p99_us=%u "
      "max_us=%u",
      static_cast<unsigned long long>(answered),
      static_cast<unsigned long long>(failed), elapsed,
      static_cast<double>(answered) / elapsed, percentile(0.5),
      percentile(0.99), latencies.empty() ? 0 : latencies.back());
  if (watch.active()) watch.print();
  std::printf("\n");
  return 0;
}
