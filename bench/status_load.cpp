// Load driver for a status endpoint on 127.0.0.1, a new TCP connection per
// request (GET, read until the server closes, close). A request counts as
// answered when the whole response arrived: it starts with
// "HTTP/1.1 200 OK", its body is as long as its Content-Length says, and it
// is exactly --expect-bytes bytes when that is given. Every request has
// --timeout seconds in all; one that takes longer has failed.
//
//   status_load [--port 47833] [--clients 8] [--seconds 10] [--rate 0]
//               [--expect-bytes N] [--timeout 5] [--dump FILE]
//
// Closed loop (the default): --clients threads, each sending its next
// request when the last one ended, for --seconds; the latencies are those of
// the answered requests.
// Open loop (--rate R): one request every 1/R s for --seconds, whether or
// not the earlier ones have ended, as a dashboard that polls does; a request
// that fails ranks as taking the whole --timeout in the latencies, so that a
// percentile never hides a failure.
// Prints "answered=… failed=… seconds=… rate=… p50_us=… p99_us=… max_us=…".
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

// One request on a new blocking connection, every step within `timeout`;
// returns what arrived before the server closed (empty when connecting or
// sending failed).
std::string fetch(const sockaddr_in& server,
                  std::chrono::milliseconds timeout) {
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
  if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) ==
          0 &&
      send(fd, REQUEST.data(), REQUEST.size(), MSG_NOSIGNAL) ==
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
                ClientResult& result) {
  result.latencies_us.reserve(1 << 20);
  while (Clock::now() < deadline) {
    const auto start = Clock::now();
    const std::string response = fetch(server, timeout);
    const auto took = to_us(Clock::now() - start);
    if (is_whole(response, expect_bytes)) {
      ++result.answered;
      result.latencies_us.push_back(static_cast<std::uint32_t>(took.count()));
    } else {
      ++result.failed;
    }
  }
}

// One request of the open loop: a non-blocking connection in progress.
struct Pending {
  int fd = -1;
  Clock::time_point due;  // when the request was due to start
  bool sent = false;
  std::string response;
};

// Open loop: a request every `period` until `stop`, each given `timeout`.
// Latencies are taken from the moment each request was due, so that a late
// start of this loop counts against the server rather than hiding.
void run_open_loop(const sockaddr_in& server, Clock::duration period,
                   Clock::time_point stop, long long expect_bytes,
                   std::chrono::milliseconds timeout, ClientResult& result) {
  const auto timeout_us = static_cast<std::uint32_t>(to_us(timeout).count());
  const auto finish = [&](Pending& request, bool answered) {
    close(request.fd);
    request.fd = -1;
    if (answered) {
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
      polled.push_back(
          {request.fd, static_cast<short>(request.sent ? POLLIN : POLLOUT), 0});
    }
    auto wake = next < stop ? next : Clock::time_point::max();
    for (const auto& request : pending)
      wake = std::min(wake, request.due + timeout);
    // ppoll's nanoseconds let a request start when it is due, not up to a
    // millisecond later.
    const auto wait = std::clamp<Clock::duration>(
        wake - now, Clock::duration{0}, std::chrono::seconds{1});
    const auto wait_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    const timespec limit{static_cast<time_t>(wait_ns / 1000000000),
                         static_cast<long>(wait_ns % 1000000000)};
    const int ready = ppoll(polled.data(), polled.size(), &limit, nullptr);
    if (ready <= 0) continue;
    for (std::size_t k = 0; k < pending.size(); ++k) {
      Pending& request = pending[k];
      if (polled[k].revents == 0) continue;
      if (!request.sent) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(request.fd, SOL_SOCKET, SO_ERROR, &error, &length) !=
                0 ||
            error != 0 ||
            send(request.fd, REQUEST.data(), REQUEST.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(REQUEST.size())) {
          finish(request, false);
        } else {
          request.sent = true;
        }
        continue;
      }
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
                         {"dump", ""}});
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<std::uint16_t>(options.integer("port")));
  const auto timeout = std::chrono::milliseconds(
      static_cast<long long>(options.number("timeout") * 1000));
  const long long expect_bytes = options.integer("expect-bytes");

  if (!options.text("dump").empty()) {
    const std::string response = fetch(server, timeout);
    if (!is_whole(response, -1)) return 1;
    std::FILE* file = std::fopen(options.text("dump").c_str(), "wb");
    if (file == nullptr) return 1;
    std::fwrite(response.data(), 1, response.size(), file);
    return std::fclose(file) == 0 ? 0 : 1;
  }

  const auto seconds = std::chrono::duration<double>(options.number("seconds"));
  const double rate = options.number("rate");
  std::vector<ClientResult> results;
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(seconds);
  if (rate > 0) {
    results.resize(1);
    run_open_loop(server,
                  std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double>(1.0 / rate)),
                  deadline, expect_bytes, timeout, results[0]);
  } else {
    const auto clients = static_cast<std::size_t>(options.integer("clients"));
    results.resize(clients);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < clients; ++i) {
      threads.emplace_back(run_client, std::cref(server), deadline,
                           expect_bytes, timeout, std::ref(results[i]));
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
      "max_us=%u\n",
      static_cast<unsigned long long>(answered),
      static_cast<unsigned long long>(failed), elapsed,
      static_cast<double>(answered) / elapsed, percentile(0.5),
      percentile(0.99), latencies.empty() ? 0 : latencies.back());
  return 0;
}
