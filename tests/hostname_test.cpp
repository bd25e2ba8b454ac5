#include "hostname.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>

#include "test_support.h"

namespace {

using std::chrono::milliseconds;
using test_support::FakeHostname;
using Clock = std::chrono::steady_clock;

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

// The lowest descriptor limit under which exactly `free` descriptors can
// still be opened.
rlim_t limit_leaving(int free) {
  rlim_t limit = 0;
  for (int closed = 0; closed < free; ++limit) {
    if (fcntl(static_cast<int>(limit), F_GETFD) < 0) ++closed;
  }
  return limit;
}

TEST(Hostname, ReadHostName) {
  struct Case {
    const char* name;
    std::optional<std::string> script;  // nullopt: no hostname at all
    mode_t mode;
    int timeout_ms;
    std::string host;
    int within_ms;                // read_host_name must return within this
    bool ignore_sigchld = false;  // as a parent may leave it across exec
    int free_descriptors = -1;    // under a limit leaving this many, if set
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
      // Room for one pipe: the second cannot be made, and the first must not
      // be left open.
      {"two descriptors free", "printf 'alpha\\n'", 0755, 3000, "morun-node",
       2500, false, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto fake = c.script ? FakeHostname::script(*c.script, c.mode)
                               : FakeHostname::missing();
    const ScopedPath path(fake.path());
    const int descriptors = open_descriptor_count();
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    rlimit lowered = limit;
    if (c.free_descriptors >= 0) {
      lowered.rlim_cur = limit_leaving(c.free_descriptors);
    }
    const auto old_sigchld =
        signal(SIGCHLD, c.ignore_sigchld ? SIG_IGN : SIG_DFL);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const auto start = Clock::now();
    const std::string host = read_host_name(milliseconds{c.timeout_ms});
    const auto took =
        std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
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
TEST(Hostname, GetsDefaultSigpipe) {
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
