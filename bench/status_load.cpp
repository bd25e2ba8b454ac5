// Load driver for a status endpoint on 127.0.0.1: N client threads, each
// opening a new TCP connection per request, sending a GET, reading until the
// server closes and closing, for a fixed time. A request counts as answered
// when the whole response arrived: exactly --expect-bytes bytes (when given)
// starting with "HTTP/1.1 200 OK".
//
//   status_load [--port 47833] [--clients 8] [--seconds 10]
//               [--expect-bytes N] [--dump FILE]
//
// Prints "answered=… failed=… seconds=… rate=… p50_us=… p99_us=… max_us=…".
// With --dump it makes one request instead and writes the response to FILE.
// Run it only inside a private network namespace.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
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

// One request on a new connection; returns the whole response, or an empty
// string when connecting or sending failed.
std::string exchange(const sockaddr_in& server) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  std::string response;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) ==
          0 &&
      send(fd, REQUEST.data(), REQUEST.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(REQUEST.size())) {
    char buffer[16384];
    for (;;) {
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
  std::vector<std::uint32_t> latencies_us;  // answered requests only
};

void run_client(const sockaddr_in& server, Clock::time_point deadline,
                long long expect_bytes, ClientResult& result) {
  result.latencies_us.reserve(1 << 20);
  while (Clock::now() < deadline) {
    const auto start = Clock::now();
    const std::string response = exchange(server);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        Clock::now() - start);
    const bool whole =
        response.starts_with(STATUS_LINE) &&
        (expect_bytes < 0 ||
         response.size() == static_cast<std::size_t>(expect_bytes));
    if (whole) {
      ++result.answered;
      result.latencies_us.push_back(static_cast<std::uint32_t>(took.count()));
    } else {
      ++result.failed;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options(argc, argv,
                        {{"port", "47833"},
                         {"clients", "8"},
                         {"seconds", "10"},
                         {"expect-bytes", "-1"},
                         {"dump", ""}});
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<std::uint16_t>(options.integer("port")));

  if (!options.text("dump").empty()) {
    const std::string response = exchange(server);
    if (!response.starts_with(STATUS_LINE)) return 1;
    std::FILE* file = std::fopen(options.text("dump").c_str(), "wb");
    if (file == nullptr) return 1;
    std::fwrite(response.data(), 1, response.size(), file);
    return std::fclose(file) == 0 ? 0 : 1;
  }

  const auto clients = static_cast<std::size_t>(options.integer("clients"));
  const auto seconds = std::chrono::duration<double>(options.number("seconds"));
  std::vector<ClientResult> results(clients);
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  const auto deadline =
      start + std::chrono::duration_cast<Clock::duration>(seconds);
  for (std::size_t i = 0; i < clients; ++i) {
    threads.emplace_back(run_client, std::cref(server), deadline,
                         options.integer("expect-bytes"), std::ref(results[i]));
  }
  for (auto& thread : threads) thread.join();
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
