#include "node_config.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "announcement.h"
#include "text_format.h"

namespace {

constexpr std::size_t NO_POSITION = static_cast<std::size_t>(-1);
// /proc/meminfo is about 1.5 KiB; a file longer than this is not one.
constexpr std::size_t MEMINFO_READ_LIMIT = 65536;

// Where the first `name` is and where its value is. Both are NO_POSITION when
// there is no such element or it is the last one: then the scan uses nothing.
struct OptionScan {
  std::size_t name = NO_POSITION;
  std::size_t value = NO_POSITION;
};

OptionScan scan_option(const std::vector<std::string>& args,
                       std::string_view name) {
  const auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || it + 1 == args.end()) return {};
  const auto at = static_cast<std::size_t>(it - args.begin());
  return {at, at + 1};
}

// An optional '+' and one or more ASCII digits, at most 4294967295.
std::optional<std::uint32_t> read_node_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    result = result * 10 + static_cast<std::uint64_t>(c - '0');
    if (result > UINT32_MAX) return std::nullopt;
  }
  return static_cast<std::uint32_t>(result);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A --ram figure: finite and not negative, negative zero included, so the
// start line never shows a sign.
std::optional<float> read_ram_figure(std::string_view text) {
  const std::optional<float> ram = read_ram(text);
  if (!ram || !std::isfinite(*ram) || std::signbit(*ram)) return std::nullopt;
  return ram;
}

// MemTotal of a file laid out as /proc/meminfo ("MemTotal:  16318424 kB"),
// in gigabytes of 1024^3 bytes; nullopt when the file cannot be read or has
// no such line.
std::optional<float> read_mem_total(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  std::array<char, 4096> buffer;
  while (text.size() < MEMINFO_READ_LIMIT) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
  close(fd);
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    constexpr std::string_view KEY = "MemTotal:";
    if (!line.starts_with(KEY)) continue;
    line.remove_prefix(KEY.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      line.remove_prefix(1);
    }
    std::uint64_t kibibytes = 0;
    std::size_t digits = 0;
    while (digits < line.size() && is_digit(line[digits])) {
      if (kibibytes > (UINT64_MAX - 9) / 10) return std::nullopt;
      kibibytes =
          kibibytes * 10 + static_cast<std::uint64_t>(line[digits] - '0');
      ++digits;
    }
    if (digits == 0 || line.substr(digits) != " kB") return std::nullopt;
    return static_cast<float>(static_cast<double>(kibibytes) /
                              (1024.0 * 1024.0));
  }
  return std::nullopt;
}

// An argument as the notes show it: escaped, so that it cannot end the line.
std::string escaped(std::string_view argument) {
  std::string text;
  append_json_escaped(text, argument);
  return text;
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args,
                               const char* meminfo_path) {
  CommandLine result;
  const OptionScan room = scan_option(args, "--room");
  const OptionScan count = scan_option(args, "--node-count");
  const OptionScan ram = scan_option(args, "--ram");
  std::size_t log_peers = NO_POSITION;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (i == room.value || i == count.value || i == ram.value) continue;
    if (args[i] == "-h" || args[i] == "--help") {
      result.action = CommandLine::Action::kHelp;
      return result;
    }
    if (args[i] == "--version") {
      result.action = CommandLine::Action::kVersion;
      return result;
    }
    if (args[i] == "--log-peers" && log_peers == NO_POSITION) log_peers = i;
  }

  NodeConfig& config = result.config;
  config.room = parse_room(args);
  config.node_count = parse_node_count(args);
  config.log_peers = log_peers != NO_POSITION;
  const std::string default_ram = format_fixed(NODE_RAM, 1);
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (i == count.value && !read_node_count(arg)) {
      result.notes.push_back("ignored --node-count value: " + escaped(arg) +
                             " (using 1)");
    } else if (i == ram.value && arg == "auto") {
      if (const auto total = read_mem_total(meminfo_path)) {
        config.ram = *total;
      } else {
        result.notes.push_back(
            std::string("--ram auto: cannot read MemTotal from ") +
            meminfo_path + " (using " + default_ram + ")");
      }
    } else if (i == ram.value) {
      if (const auto figure = read_ram_figure(arg)) {
        config.ram = *figure;
      } else {
        result.notes.push_back("ignored --ram value: " + escaped(arg) +
                               " (using " + default_ram + ")");
      }
    } else if (i != room.name && i != room.value && i != count.name &&
               i != count.value && i != ram.name && i != log_peers) {
      result.notes.push_back("ignored argument: " + escaped(arg));
    }
  }
  return result;
}

std::uint32_t parse_node_count(const std::vector<std::string>& args) {
  const OptionScan count = scan_option(args, "--node-count");
  if (count.value == NO_POSITION) return 1;
  return read_node_count(args[count.value]).value_or(1);
}

std::string parse_room(const std::vector<std::string>& args) {
  const OptionScan room = scan_option(args, "--room");
  return room.value != NO_POSITION ? args[room.value]
                                   : std::string(DEFAULT_ROOM);
}

std::string format_start_line(const NodeConfig& config) {
  return "Starting \u2014 room=" + config.room +
         " node_count=" + std::to_string(config.node_count) +
         " host=" + config.host + " ram=" + format_fixed(config.ram, 1) + "GB";
}
