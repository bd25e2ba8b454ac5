// The node's entry point and main thread: settings, the start line, the three
// workers, then the housekeeping loop that expires silent peers and rereads
// the machine's addresses every 5 s.

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "announcement.h"
#include "discovery.h"
#include "hostname.h"
#include "interfaces.h"
#include "log.h"
#include "metrics.h"
#include "node_config.h"
#include "peer_log.h"
#include "peer_table.h"
#include "room_key.h"
#include "status_server.h"
#include "text_format.h"
#include "utf8.h"
#include "version.h"

namespace {

constexpr std::chrono::seconds HOUSEKEEPING_PERIOD{5};
// Allocations from this size up are mapped on their own and unmapped when
// freed. Fixed, because the allocator otherwise raises the bound after each
// large free, and a flood's documents would then stay resident for good.
constexpr int MMAP_THRESHOLD = 128 * 1024;

// A closed standard descriptor would be taken by the next socket, and log
// lines would then go to a peer; /dev/null holds the place instead.
void fill_standard_descriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd < 0) return;
    if (null_fd != fd) {
      // Lower descriptors are open by now, so open() returned fd itself
      // unless something above is odd; never keep a stray descriptor.
      close(null_fd);
      return;
    }
  }
}

// The --help text: every option with its default, the ports, the manual.
// The status server holds as many connections as the descriptors allow, up to
// its bound; the soft limit, often 1,024, is raised toward what that bound
// needs, never past the hard limit. A refusal leaves the limit as it was.
void raise_open_file_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, STATUS_OPEN_FILES);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = wanted;
  (void)setrlimit(RLIMIT_NOFILE, &limit);
}

std::string usage_text() {
  return "Usage: pim-node [--room ROOM] [--node-count N] [--ram auto|GB] "
         "[--log-peers]\n"
         "                [--key-file PATH] [--metrics]\n"
         "       pim-node --generate-key\n"
         "       pim-node -h | --help | --version\n"
         "\n"
         "Announces this machine to the nodes of its room on the local "
         "network and\n"
         "serves the room's members as JSON on the loopback interface.\n"
         "\n"
         "Options:\n"
         "  --room ROOM      the room (mesh) to join; default: " +
         std::string(DEFAULT_ROOM) +
         "\n"
         "  --node-count N   a number carried in every announcement, 0 to "
         "4294967295;\n"
         "                   default: 1\n"
         "  --ram auto|GB    the memory to announce, in gigabytes, or auto "
         "for MemTotal\n"
         "                   from /proc/meminfo; default: " +
         format_fixed(NODE_RAM, 1) +
         "\n"
         "  --log-peers      log peers joining and leaving on standard "
         "error\n"
         "  --key-file PATH  the room key: sign announcements with the first "
         "key of PATH\n"
         "                   and record only those signed with one of its "
         "keys;\n"
         "                   default: none\n"
         "  --generate-key   print a fresh key line for a key file and exit\n"
         "  --metrics        also serve the node's counts in Prometheus's text "
         "format\n"
         "                   at /metrics on the status port\n"
         "  -h, --help       print this help and exit\n"
         "  --version        print the version and exit\n"
         "\n"
         "Ports: UDP " +
         std::to_string(DISCOVERY_PORT) +
         " (broadcast announcements, all interfaces),\n"
         "       TCP 127.0.0.1:" +
         std::to_string(STATUS_PORT) +
         " (status document, loopback only).\n"
         "Manual: man 8 pim-node\n";
}

std::string version_text() {
  return "pim-node " + std::string(PIM_NODE_VERSION) + "\n";
}

// The table judges who is on-link by the addresses read here, at most a
// housekeeping period old; a failed read keeps the last list.
void refresh_interfaces(PeerTable& table) {
  if (auto addresses = read_interface_addresses()) {
    table.set_interfaces(std::move(*addresses));
  }
}

// --generate-key: one fresh key line on standard output, status 0; status
// 101 and a diagnostic when the system's random source fails.
int print_key_line() {
  std::optional<std::string> line = generate_key_line();
  if (!line) {
    const int error = errno;
    exit_with_diagnostic("cannot read the system's random source: " +
                         os_error_text(error));
  }
  const bool written = write_stdout(*line);
  explicit_bzero(line->data(), line->size());
  return written ? EXIT_SUCCESS : EXIT_FAILURE;
}

template <typename Worker, typename... Args>
void start_worker(Worker worker, Args&&... args) {
  try {
    std::thread(worker, std::forward<Args>(args)...).detach();
  } catch (const std::system_error& failure) {
    exit_with_diagnostic("failed to spawn thread: " +
                         os_error_text(failure.code().value()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  fill_standard_descriptors();
  // A write to a connection or pipe whose reader has gone must fail with
  // EPIPE instead of ending the process.
  signal(SIGPIPE, SIG_IGN);
  // An inherited "ignore" would have the kernel reap hostname by itself, so
  // that it could not be waited for.
  signal(SIGCHLD, SIG_DFL);
  (void)mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD);

  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    args.emplace_back(argv[i]);
    if (!is_valid_utf8(args.back())) {
      exit_with_diagnostic("argument " + std::to_string(i) +
                           " is not valid UTF-8");
    }
  }

  const CommandLine command_line = parse_command_line(args);
  // Answered before hostname runs or any socket exists. A reader that has
  // gone (`pim-node --help | head -c1`) gives a failure status, quietly.
  switch (command_line.action) {
    case CommandLine::Action::kRun:
      break;
    case CommandLine::Action::kHelp:
      return write_stdout(usage_text()) ? EXIT_SUCCESS : EXIT_FAILURE;
    case CommandLine::Action::kVersion:
      return write_stdout(version_text()) ? EXIT_SUCCESS : EXIT_FAILURE;
    case CommandLine::Action::kGenerateKey:
      return print_key_line();
  }
  NodeConfig config = command_line.config;
  // Refused before the start line, so a node with a bad key file is never
  // heard, nor shut out of its room unnoticed.
  RoomKeys keys;
  if (config.key_file) {
    KeyFile file = read_key_file(*config.key_file);
    if (!file.diagnostic.empty()) exit_with_diagnostic(file.diagnostic);
    keys = std::move(file.keys);
  }
  config.start_time = std::chrono::duration<double>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  config.host = read_host_name(HOSTNAME_TIMEOUT);

  log_line(format_start_line(config), WriteFailure::kFatal);
  std::vector<std::string> notes = command_line.notes;
  // Signed, the announcement grows by its tag; peers cannot verify a cut one.
  const std::string payload = format_announcement(config);
  const std::size_t announcement_size =
      keys.empty()
          ? payload.size()
          : sign_announcement(payload, in_addr{}, real_time_ms(), keys).size();
  if (announcement_size > DATAGRAM_BUFFER_SIZE) {
    notes.push_back("announcement is " + std::to_string(announcement_size) +
                    " bytes; peers read only the first " +
                    std::to_string(DATAGRAM_BUFFER_SIZE));
  }
  for (const std::string& note : notes) log_line(note, WriteFailure::kFatal);

  raise_open_file_limit();
  auto table = std::make_shared<PeerTable>();
  auto peer_log = config.log_peers ? std::make_shared<PeerLog>() : nullptr;
  refresh_interfaces(*table);
  // Counted always; only serving them waits for --metrics.
  auto counters = std::make_shared<NodeCounters>();
  // Each worker keeps a copy of its own; the main thread's is wiped.
  start_worker(broadcast_loop, config, keys, table, peer_log, counters);
  start_worker(listen_loop, config, keys, table, peer_log, counters);
  keys.clear();
  start_worker(status_server, config, table, counters);

  for (;;) {
    counters->count_expired(
        expire_peers(*table, peer_log.get(), MonotonicClock::now()));
    std::this_thread::sleep_for(HOUSEKEEPING_PERIOD);
    refresh_interfaces(*table);
  }
}
