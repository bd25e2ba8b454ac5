// The node's settings, worked out once at start-up on the main thread before
// any worker exists: the command-line scans, the host name from the hostname
// command, and the start line. Takes no lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view DEFAULT_ROOM = "MORUN-DEFAULT";
inline constexpr std::string_view FALLBACK_HOST = "morun-node";
inline constexpr float NODE_RAM = 8.0f;  // gigabytes; no option sets it
// hostname is killed if it has not finished within this time.
inline constexpr std::chrono::seconds HOSTNAME_TIMEOUT{5};

struct NodeConfig {
  std::string room;
  std::uint32_t node_count = 1;
  std::string host;
  float ram = NODE_RAM;
  bool log_peers = false;  // --log-peers: membership changes on stderr
};

// The value after the first "--node-count" in args (args[0] is the program):
// an optional '+' and ASCII digits up to 4294967295. Anything else, or no
// value, gives 1.
std::uint32_t parse_node_count(const std::vector<std::string>& args);

// The element after the first "--room", verbatim; "MORUN-DEFAULT" when there
// is none or it is the last element.
std::string parse_room(const std::vector<std::string>& args);

// Runs `hostname` from the search path with no arguments, empty standard input
// and both outputs captured, and returns its standard output decoded and
// trimmed, whatever its exit status. A command that runs longer than `timeout`
// is killed and what it printed so far is used. Returns "morun-node" when the
// command cannot be started.
std::string read_host_name(std::chrono::milliseconds timeout);

// "[pim-node] Starting — room=… node_count=… host=… ram=8.0GB\n"
std::string format_start_line(const NodeConfig& config);
