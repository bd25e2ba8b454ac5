#include "node_config.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using std::chrono::milliseconds;
using test_support::FakeHostname;
using Clock = std::chrono::steady_clock;

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
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"pim-node"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string shown;
    for (const auto& arg : c.args) shown += "[" + arg + "]";
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
    EXPECT_EQ(command_line.config.host, "");
    EXPECT_EQ(command_line.notes, c.notes);
    EXPECT_EQ(parse_room(args), c.room);
    EXPECT_EQ(parse_node_count(args), c.node_count);
  }
  // The program name is element 0 and is scanned like any other element,
  // but is never an ignored argument.
  EXPECT_EQ(parse_room({"--room", "x"}), "x");
  EXPECT_EQ(parse_command_line({"--room", "x"}).notes,
            std::vector<std::string>{});
  EXPECT_EQ(parse_command_line({"--help"}).action, Action::kRun);
}

// PATH set to `value` for the lifetime of the object.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) {
    if (const char* old = getenv("PATH")) old_path_ = old;
    setenv("PATH", value.c_str(), 1);
  }
  ~ScopedPath() {
    if (old_path_) {
      setenv("PATH", old_path_->c_str(), 1);
    } else {
      unsetenv("PATH");
    }
  }
  ScopedPath(const ScopedPath&) = delete;
  ScopedPath& operator=(const ScopedPath&) = delete;

 private:
  std::optional<std::string> old_path_;
};

int open_descriptor_count() {
  return test_support::proc_entry_count("/proc/self/fd");
}

TEST(NodeConfig, ReadHostName) {
  struct Case {
    const char* name;
    std::optional<std::string> script;  // nullopt: no hostname at all
    mode_t mode;
    int timeout_ms;
    std::string host;
    int within_ms;                // read_host_name must return within this
    bool ignore_sigchld = false;  // as a parent may leave it across exec
  };
  const Case cases[] = {
      {"newline", "printf 'alpha\\n'", 0755, 3000, "alpha", 2500},
      {"no newline", "printf 'alpha'", 0755, 3000, "alpha", 2500},
      {"inner space kept", "printf ' my host \\r\\n'", 0755, 3000, "my host",
       2500},
      {"only white space", "printf ' \\t\\n\\r\\n'", 0755, 3000, "", 2500},
      {"nothing", "exit 0", 0755, 3000, "", 2500},
      // ff is invalid alone; e2 82 is one cut-short sequence; c0 af two bytes
      // that can never start a sequence.
      {"invalid UTF-8", "printf 'a\\377b\\300\\257c\\342\\202'", 0755, 3000,
       "a\xEF\xBF\xBD"
       "b\xEF\xBF\xBD\xEF\xBF\xBD"
       "c\xEF\xBF\xBD",
       2500},
      {"U+3000 and U+0085 trimmed",
       "printf '\\343\\200\\200beta\\302\\205\\343\\200\\200\\n'", 0755, 3000,
       "beta", 2500},
      {"U+00A0 inside kept, U+2028 and U+200B",
       "printf 'a\\302\\240b\\342\\200\\250\\342\\200\\213'", 0755, 3000,
       "a\xC2\xA0"
       "b\xE2\x80\xA8\xE2\x80\x8B",
       2500},
      {"missing program", std::nullopt, 0755, 3000, "morun-node", 2500},
      {"not executable", "printf 'alpha\\n'", 0644, 3000, "morun-node", 2500},
      {"failing status", "printf 'gamma\\n'; exit 3", 0755, 3000, "gamma",
       2500},
      {"killed by a signal", "printf 'kappa'; kill -9 $$", 0755, 3000, "kappa",
       2500},
      {"stderr discarded", "echo oops >&2; echo zeta", 0755, 3000, "zeta",
       2500},
      // Without reading both pipes together the child blocks on a full
      // stderr pipe and only the time limit ends it, with nothing printed.
      {"200 KB on stderr first", "head -c 200000 /dev/zero >&2; echo delta",
       0755, 5000, "delta", 4000},
      {"100 KB on stdout, 4 KiB kept", "head -c 100000 /dev/zero | tr '\\0' a",
       0755, 5000, std::string(4096, 'a'), 4000},
      {"endless output", "exec tr '\\0' a < /dev/zero", 0755, 300,
       std::string(4096, 'a'), 2000},
      {"stdin is empty", "echo \"in[$(cat)]\"", 0755, 3000, "in[]", 2500},
      // The output is read to its end, not only until the program exits.
      {"printed after exit", "(sleep 0.3; echo late) &", 0755, 3000, "late",
       2500},
      {"printed after exit, stderr ended",
       "exec 2>&-; (sleep 0.3; echo late) &", 0755, 3000, "late", 2500},
      {"never ends", "printf 'eps\\n'; exec sleep 20", 0755, 300, "eps", 2000},
      {"grandchild holds the pipe",
       "(sleep 20 & echo $! > \"$(dirname \"$0\")/pid\"); echo beta", 0755, 300,
       "beta", 2000},
      // The kernel reaps the child itself: waitpid fails with ECHILD, which
      // used to leave the pidfd ready and the loop spinning to the limit.
      {"SIGCHLD ignored", "printf 'alpha\\n'", 0755, 3000, "alpha", 2500, true},
      {"SIGCHLD ignored, never ends", "printf 'eps\\n'; exec sleep 20", 0755,
       300, "eps", 2000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto fake = c.script ? FakeHostname::script(*c.script, c.mode)
                               : FakeHostname::missing();
    const ScopedPath path(fake.path());
    const int descriptors = open_descriptor_count();
    const auto old_sigchld =
        signal(SIGCHLD, c.ignore_sigchld ? SIG_IGN : SIG_DFL);
    const auto start = Clock::now();
    const std::string host = read_host_name(milliseconds{c.timeout_ms});
    const auto took =
        std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    signal(SIGCHLD, old_sigchld);
    EXPECT_EQ(host, c.host);
    EXPECT_LT(took.count(), c.within_ms);
    // No child is left, running or unreaped, and nothing stays open.
    int status = 0;
    const pid_t left = waitpid(-1, &status, WNOHANG);
    const int wait_error = errno;
    EXPECT_EQ(left, -1);
    EXPECT_EQ(wait_error, ECHILD);
    EXPECT_EQ(open_descriptor_count(), descriptors);
  }
}

// The node ignores SIGPIPE; hostname must start with it at its default.
TEST(NodeConfig, HostnameGetsDefaultSigpipe) {
  const auto old_handler = signal(SIGPIPE, SIG_IGN);
  std::string status;
  {
    const auto fake =
        FakeHostname::script("exec grep SigIgn /proc/self/status");
    const ScopedPath path(fake.path());
    status = read_host_name(milliseconds{3000});
  }
  signal(SIGPIPE, old_handler);
  ASSERT_EQ(status.rfind("SigIgn:", 0), 0u) << status;
  unsigned long long ignored = 0;
  std::istringstream(status.substr(7)) >> std::hex >> ignored;
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << status;
}

}  // namespace
