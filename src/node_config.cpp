#include "node_config.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

#include "text_format.h"

namespace {

// /proc/meminfo is about 1.5 KiB; a file longer than this is not one.
constexpr std::size_t MEMINFO_READ_LIMIT = 65536;

// The options that take the element after them as their value.
enum class ValueOption { kRoom, kNodeCount, kRam, kKeyFile };

struct ValueOptionName {
  std::string_view name;
  ValueOption option;
};

constexpr std::array<ValueOptionName, 4> VALUE_OPTIONS{{
    {"--room", ValueOption::kRoom},
    {"--node-count", ValueOption::kNodeCount},
    {"--ram", ValueOption::kRam},
    {"--key-file", ValueOption::kKeyFile},
}};

// Arguments that, where no option takes them as its value, answer instead
// of starting the node.
struct ActionName {
  std::string_view name;
  CommandLine::Action action;
};

constexpr std::array<ActionName, 4> ACTIONS{{
    {"-h", CommandLine::Action::kHelp},
    {"--help", CommandLine::Action::kHelp},
    {"--version", CommandLine::Action::kVersion},
    {"--generate-key", CommandLine::Action::kGenerateKey},
}};

// Flags that turn a setting on; a flag given again is an ignored argument.
struct FlagName {
  std::string_view name;
  bool NodeConfig::*setting;
};

constexpr std::array<FlagName, 2> FLAGS{{
    {"--log-peers", &NodeConfig::log_peers},
    {"--metrics", &NodeConfig::metrics},
}};

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

// Applies the value `arg` of `option`. The MemTotal of "--ram auto" is read
// only once no action can come: `mem_total_note` keeps where its note goes.
void take_value(ValueOption option, const std::string& arg, CommandLine& result,
                std::optional<std::size_t>& mem_total_note) {
  NodeConfig& config = result.config;
  switch (option) {
    case ValueOption::kRoom:
      config.room = arg;
      return;
    case ValueOption::kNodeCount:
      if (const auto count = read_node_count(arg)) {
        config.node_count = *count;
      } else {
        result.notes.push_back("ignored --node-count value: " + escaped(arg) +
                               " (using 1)");
      }
      return;
    case ValueOption::kRam:
      if (arg == "auto") {
        mem_total_note = result.notes.size();
      } else if (const auto figure = read_ram_figure(arg)) {
        config.ram = *figure;
      } else {
        result.notes.push_back("ignored --ram value: " + escaped(arg) +
                               " (using " + format_fixed(NODE_RAM, 1) + ")");
      }
      return;
    case ValueOption::kKeyFile:
      config.key_file = arg;
      return;
  }
}

}  // namespace

CommandLine parse_command_line(const std::vector<std::string>& args,
                               const char* meminfo_path) {
  CommandLine result;
  NodeConfig& config = result.config;
  config.room = DEFAULT_ROOM;
  std::array<bool, VALUE_OPTIONS.size()> named{};
  std::optional<ValueOption> taker;  // whose value the next element is
  std::optional<std::size_t> mem_total_note;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const std::optional<ValueOption> value_of =
        std::exchange(taker, std::nullopt);
    // Only the first occurrence of a name takes a value, also when it is
    // another option's value itself.
    bool names_option = false;
    for (std::size_t k = 0; k < VALUE_OPTIONS.size(); ++k) {
      if (arg != VALUE_OPTIONS[k].name || named[k]) continue;
      named[k] = true;
      if (i + 1 < args.size()) {
        taker = VALUE_OPTIONS[k].option;
        names_option = true;
      }
    }
    // The program name is looked at for option names and nothing else.
    if (i == 0) continue;
    if (value_of) {
      take_value(*value_of, arg, result, mem_total_note);
      continue;
    }
    if (names_option) continue;
    const auto action = std::find_if(
        ACTIONS.begin(), ACTIONS.end(),
        [&](const ActionName& entry) { return arg == entry.name; });
    if (action != ACTIONS.end()) {
      CommandLine answer;
      answer.action = action->action;
      return answer;
    }
    const auto flag =
        std::find_if(FLAGS.begin(), FLAGS.end(),
                     [&](const FlagName& entry) { return arg == entry.name; });
    if (flag != FLAGS.end() && !(config.*flag->setting)) {
      config.*flag->setting = true;
      continue;
    }
    result.notes.push_back("ignored argument: " + escaped(arg));
  }
  if (mem_total_note) {
    if (const auto total = read_mem_total(meminfo_path)) {
      config.ram = *total;
    } else {
      result.notes.insert(
          result.notes.begin() + static_cast<std::ptrdiff_t>(*mem_total_note),
          std::string("--ram auto: cannot read MemTotal from ") + meminfo_path +
              " (using " + format_fixed(NODE_RAM, 1) + ")");
    }
  }
  return result;
}

std::string format_start_line(const NodeConfig& config) {
  return "Starting \u2014 room=" + config.room +
         " node_count=" + std::to_string(config.node_count) +
         " host=" + config.host + " ram=" + format_fixed(config.ram, 1) + "GB";
}
