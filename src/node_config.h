// The node's settings, worked out once at start-up on the main thread before
// any worker exists: the command line and the start line. Takes no lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view DEFAULT_ROOM = "MORUN-DEFAULT";
inline constexpr float NODE_RAM = 8.0f;  // gigabytes, unless --ram sets it

struct NodeConfig {
  std::string room;
  std::uint32_t node_count = 1;
  std::string host;
  float ram = NODE_RAM;
  bool log_peers = false;  // --log-peers: membership changes on stderr
  // --key-file: the room key's file, read before the start line; none
  // without the option.
  std::optional<std::string> key_file = std::nullopt;
  bool metrics = false;  // --metrics: the metrics on the status port
  // Seconds since the Unix epoch when the node started: the real-time clock,
  // read once by main (parse_command_line leaves it 0).
  double start_time = 0.0;
};

// What the command line asks for. For the actions other than kRun nothing
// else is filled in: the process prints its help, its version or a fresh
// key line and exits.
struct CommandLine {
  enum class Action { kRun, kHelp, kVersion, kGenerateKey };
  Action action = Action::kRun;
  NodeConfig config;  // host left empty: read_host_name fills it
  // Lines for log_line, in argument order, to be printed right after the
  // start line: ignored arguments and rejected option values.
  std::vector<std::string> notes;
};

// Reads the program's arguments (args[0] is the program name) in one pass.
// Each option takes the element after its first occurrence, counted from
// position 0 and independently of the others, so that an element can be one
// option's value and another's name: --room (verbatim; "MORUN-DEFAULT"
// without one), --node-count (an optional '+' and ASCII digits up to
// 4294967295; anything else keeps 1), --ram ("auto" for MemTotal in
// `meminfo_path`, or a finite, non-negative ram figure; anything else keeps
// 8.0), --key-file (verbatim); as the last element an option name takes
// nothing. The first --log-peers, --metrics, -h/--help, --version or
// --generate-key at position 1 or later that no option took as its value
// counts; the first of -h, --help, --version and --generate-key decides the
// action, and nothing is read for it (MemTotal included). Each element from
// position 1 on that none of this used gets a note, and so does a rejected
// value or an unreadable MemTotal. Arguments are valid UTF-8; control
// characters in them are escaped in the notes, so no argument can forge a
// log line.
CommandLine parse_command_line(const std::vector<std::string>& args,
                               const char* meminfo_path = "/proc/meminfo");

// "Starting — room=… node_count=… host=… ram=8.0GB", for log_line
std::string format_start_line(const NodeConfig& config);
