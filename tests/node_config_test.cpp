#include "node_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

// A file laid out as /proc/meminfo, removed on destruction.
class FakeMeminfo {
 public:
  explicit FakeMeminfo(const std::string& text) {
    char path[] = "/tmp/pim-unit-meminfo-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) ADD_FAILURE() << "mkstemp failed";
    close(fd);
    path_ = path;
    std::ofstream(path_) << text;
  }
  ~FakeMeminfo() { std::remove(path_.c_str()); }
  FakeMeminfo(const FakeMeminfo&) = delete;
  FakeMeminfo& operator=(const FakeMeminfo&) = delete;
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(NodeConfig, ArgumentScans) {
  using Action = CommandLine::Action;
  const FakeMeminfo meminfo(
      "MemTotal:       16318424 kB\nMemFree:         1202200 kB\n");
  const char* const no_meminfo = "/nonexistent/pim-meminfo";
  const std::string ignored = "ignored argument: ";
  const std::string bad_count = "ignored --node-count value: ";
  const std::string bad_ram = "ignored --ram value: ";
  struct Case {
    std::vector<std::string> args;  // after the program name
    std::string room;
    std::uint32_t node_count;
    std::vector<std::string> notes = {};
    float ram = 8.0f;
    bool log_peers = false;
    Action action = Action::kRun;   // for help and version nothing else counts
    const char* meminfo = nullptr;  // the fake file unless set
    // Element 0 is scanned for option names like any other element, but is
    // never an ignored argument, a flag or an action.
    const char* program = "pim-node";
    std::optional<std::string> key_file = std::nullopt;
    bool metrics = false;
  };
  const Case cases[] = {
      {{}, "MORUN-DEFAULT", 1},
      {{"--node-count", "+7"}, "MORUN-DEFAULT", 7},
      {{"--node-count", "007"}, "MORUN-DEFAULT", 7},
      {{"--node-count", "0"}, "MORUN-DEFAULT", 0},
      {{"--node-count", "+0"}, "MORUN-DEFAULT", 0},
      {{"--node-count", "4294967295"}, "MORUN-DEFAULT", 4294967295u},
      {{"--node-count", "4294967296"},
       "MORUN-DEFAULT",
       1,
       {bad_count + "4294967296 (using 1)"}},
      {{"--node-count", "99999999999999999999"},
       "MORUN-DEFAULT",
       1,
       {bad_count + "99999999999999999999 (using 1)"}},
      {{"--node-count", "-1"},
       "MORUN-DEFAULT",
       1,
       {bad_count + "-1 (using 1)"}},
      {{"--node-count", "5x"},
       "MORUN-DEFAULT",
       1,
       {bad_count + "5x (using 1)"}},
      {{"--node-count", " 5"},
       "MORUN-DEFAULT",
       1,
       {bad_count + " 5 (using 1)"}},
      {{"--node-count", "5 "},
       "MORUN-DEFAULT",
       1,
       {bad_count + "5  (using 1)"}},
      {{"--node-count", ""}, "MORUN-DEFAULT", 1, {bad_count + " (using 1)"}},
      {{"--node-count", "+"}, "MORUN-DEFAULT", 1, {bad_count + "+ (using 1)"}},
      {{"--node-count", "++5"},
       "MORUN-DEFAULT",
       1,
       {bad_count + "++5 (using 1)"}},
      {{"--node-count", "\xD9\xA5"},  // Arabic-Indic 5
       "MORUN-DEFAULT",
       1,
       {bad_count + "\xD9\xA5 (using 1)"}},
      {{"--node-count"}, "MORUN-DEFAULT", 1, {ignored + "--node-count"}},
      {{"--node-count=5"}, "MORUN-DEFAULT", 1, {ignored + "--node-count=5"}},
      {{"--NODE-COUNT", "5"},
       "MORUN-DEFAULT",
       1,
       {ignored + "--NODE-COUNT", ignored + "5"}},
      {{"--node-count", "x", "--node-count", "5"},
       "MORUN-DEFAULT",
       1,
       {bad_count + "x (using 1)", ignored + "--node-count", ignored + "5"}},
      {{"--node-count", "4", "--node-count", "5"},
       "MORUN-DEFAULT",
       4,
       {ignored + "--node-count", ignored + "5"}},
      {{"--room", "lab"}, "lab", 1},
      {{"--room", ""}, "", 1},
      {{"--room", "a b|c\xE2\x80\x94"}, "a b|c\xE2\x80\x94", 1},
      {{"--room"}, "MORUN-DEFAULT", 1, {ignored + "--room"}},
      {{"--room=lab"}, "MORUN-DEFAULT", 1, {ignored + "--room=lab"}},
      {{"--room", "lab", "--room", "other"},
       "lab",
       1,
       {ignored + "--room", ignored + "other"}},
      {{"--room", "--node-count", "3"}, "--node-count", 3},
      // "--room" is the count's (bad) value and the room option as well.
      {{"--node-count", "--room", "x"},
       "x",
       1,
       {bad_count + "--room (using 1)"}},
      {{"--room", "lab", "--node-count", "12"}, "lab", 12},
      {{"lab", "--room", "--room"}, "--room", 1, {ignored + "lab"}},
      {{"lab", "--room", "lab", "--ram", "16", "extra"},
       "lab",
       1,
       {ignored + "lab", ignored + "extra"},
       16.0f},
      // Control characters could otherwise end a log line and forge another.
      {{"a\nb\x1B\"\\", "--room", "lab"},
       "lab",
       1,
       {ignored + "a\\nb\\u001b\\\"\\\\"}},
      {{"--help"}, "", 1, {}, 8.0f, false, Action::kHelp},
      {{"x", "-h"}, "", 1, {}, 8.0f, false, Action::kHelp},
      {{"--version", "-h"}, "", 1, {}, 8.0f, false, Action::kVersion},
      {{"-h", "--version"}, "", 1, {}, 8.0f, false, Action::kHelp},
      // A value is never an option, even when it reads like one.
      {{"--room", "--help"}, "--help", 1},
      {{"--node-count", "-h", "--ram", "--version"},
       "MORUN-DEFAULT",
       1,
       {bad_count + "-h (using 1)", bad_ram + "--version (using 8.0)"}},
      {{"--room", "--help", "--version"},
       "",
       1,
       {},
       8.0f,
       false,
       Action::kVersion},
      {{"--log-peers"}, "MORUN-DEFAULT", 1, {}, 8.0f, true},
      {{"--room", "--log-peers"}, "--log-peers", 1},
      {{"--room", "--log-peers", "--log-peers", "x", "--log-peers"},
       "--log-peers",
       1,
       {ignored + "x", ignored + "--log-peers"},
       8.0f,
       true},
      {{"--ram", "auto"}, "MORUN-DEFAULT", 1, {}, 15.562461853027344f},
      {{"--ram", "auto"},
       "MORUN-DEFAULT",
       1,
       {"--ram auto: cannot read MemTotal from "
        "/nonexistent/pim-meminfo (using 8.0)"},
       8.0f,
       false,
       Action::kRun,
       no_meminfo},
      {{"--ram", "16"}, "MORUN-DEFAULT", 1, {}, 16.0f},
      {{"--ram", "1e3"}, "MORUN-DEFAULT", 1, {}, 1000.0f},
      {{"--ram", "0"}, "MORUN-DEFAULT", 1, {}, 0.0f},
      {{"--ram", "-1"}, "MORUN-DEFAULT", 1, {bad_ram + "-1 (using 8.0)"}},
      {{"--ram", "-0"}, "MORUN-DEFAULT", 1, {bad_ram + "-0 (using 8.0)"}},
      {{"--ram", "nan"}, "MORUN-DEFAULT", 1, {bad_ram + "nan (using 8.0)"}},
      {{"--ram", "inf"}, "MORUN-DEFAULT", 1, {bad_ram + "inf (using 8.0)"}},
      {{"--ram", "1e39"}, "MORUN-DEFAULT", 1, {bad_ram + "1e39 (using 8.0)"}},
      {{"--ram", "abc"}, "MORUN-DEFAULT", 1, {bad_ram + "abc (using 8.0)"}},
      {{"--ram", "0x10"}, "MORUN-DEFAULT", 1, {bad_ram + "0x10 (using 8.0)"}},
      {{"--ram"}, "MORUN-DEFAULT", 1, {ignored + "--ram"}},
      {{"--ram", "4", "--ram", "5"},
       "MORUN-DEFAULT",
       1,
       {ignored + "--ram", ignored + "5"},
       4.0f},
      // The note of an unreadable MemTotal keeps its place among the others.
      {.args = {"x", "--ram", "auto", "--node-count", "y", "z"},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .notes = {ignored + "x",
                 "--ram auto: cannot read MemTotal from "
                 "/nonexistent/pim-meminfo (using 8.0)",
                 bad_count + "y (using 1)", ignored + "z"},
       .meminfo = no_meminfo},
      {.args = {"--metrics"},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .metrics = true},
      {.args = {"--metrics", "--log-peers", "--metrics"},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .notes = {ignored + "--metrics"},
       .log_peers = true,
       .metrics = true},
      {.args = {"--room", "--metrics"}, .room = "--metrics", .node_count = 1},
      {.args = {"x"}, .room = "x", .node_count = 1, .program = "--room"},
      {.args = {},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .program = "--help"},
      {.args = {"--key-file", "/etc/pim-node/room.key"},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .key_file = "/etc/pim-node/room.key"},
      // Taken verbatim: an empty path is refused when the file is read.
      {.args = {"--key-file", ""},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .key_file = ""},
      {.args = {"--key-file", "a", "--key-file", "b"},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .notes = {ignored + "--key-file", ignored + "b"},
       .key_file = "a"},
      {.args = {"--key-file", "--room", "lab"},
       .room = "lab",
       .node_count = 1,
       .key_file = "--room"},
      {.args = {"--key-file", "--generate-key"},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .key_file = "--generate-key"},
      {.args = {"--key-file"},
       .room = "MORUN-DEFAULT",
       .node_count = 1,
       .notes = {ignored + "--key-file"}},
      {.args = {"--generate-key"},
       .room = "",
       .node_count = 1,
       .action = Action::kGenerateKey},
      {.args = {"--key-file", "k", "--generate-key", "--help"},
       .room = "",
       .node_count = 1,
       .action = Action::kGenerateKey},
      {.args = {"--version", "--generate-key"},
       .room = "",
       .node_count = 1,
       .action = Action::kVersion},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string shown;
    for (const auto& arg : args) shown += "[" + arg + "]";
    SCOPED_TRACE(shown);
    const CommandLine command_line =
        parse_command_line(args, c.meminfo ? c.meminfo : meminfo.path());
    EXPECT_EQ(command_line.action, c.action);
    if (c.action != Action::kRun) continue;
    EXPECT_EQ(command_line.config.room, c.room);
    EXPECT_EQ(command_line.config.node_count, c.node_count);
    EXPECT_EQ(command_line.config.ram, c.ram);
    EXPECT_FALSE(std::signbit(command_line.config.ram));
    EXPECT_EQ(command_line.config.log_peers, c.log_peers);
    EXPECT_EQ(command_line.config.key_file, c.key_file);
    EXPECT_EQ(command_line.config.metrics, c.metrics);
    EXPECT_EQ(command_line.config.host, "");
    EXPECT_EQ(command_line.notes, c.notes);
  }
}

TEST(NodeConfig, StartLine) {
  struct Case {
    NodeConfig config;
    std::string line;
  };
  const Case cases[] = {
      {{"MORUN-DEFAULT", 1, "alpha", 8.0f},
       "Starting \xE2\x80\x94 room=MORUN-DEFAULT node_count=1 host=alpha "
       "ram=8.0GB"},
      {{"lab", 3, "beta", 8.0f},
       "Starting \xE2\x80\x94 room=lab node_count=3 host=beta ram=8.0GB"},
      {{"--node-count", 3, "g\xEF\xBF\xBDmma", 8.0f},
       "Starting \xE2\x80\x94 room=--node-count node_count=3 "
       "host=g\xEF\xBF\xBDmma ram=8.0GB"},
      {{"", 0, "", 8.0f},
       "Starting \xE2\x80\x94 room= node_count=0 host= ram=8.0GB"},
      {{"lab", 1, "alpha", 16.0f},
       "Starting \xE2\x80\x94 room=lab node_count=1 host=alpha ram=16.0GB"},
      // What --ram auto makes of MemTotal 16318424 kB.
      {{"lab", 4294967295u, "alpha", 15.562461853027344f},
       "Starting \xE2\x80\x94 room=lab node_count=4294967295 host=alpha "
       "ram=15.6GB"},
      {{"lab", 1, "alpha", 0.25f},
       "Starting \xE2\x80\x94 room=lab node_count=1 host=alpha ram=0.2GB"},
      {{"MORUN-DEFAULT", 1, std::string(4096, 'a'), 8.0f},
       "Starting \xE2\x80\x94 room=MORUN-DEFAULT node_count=1 host=" +
           std::string(4096, 'a') + " ram=8.0GB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 80));
    EXPECT_EQ(format_start_line(c.config), c.line);
  }
}

}  // namespace
