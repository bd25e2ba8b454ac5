#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace test_support {

namespace {

std::string make_temporary_folder() {
  char folder[] = "/tmp/pim-hostname-XXXXXX";
  if (mkdtemp(folder) == nullptr)
    throw std::runtime_error("cannot create a temporary folder");
  return folder;
}

}  // namespace

FakeHostname FakeHostname::script(std::string_view body, mode_t mode) {
  FakeHostname fake;
  fake.folder_ = make_temporary_folder();
  const std::string program = fake.folder_ + "/hostname";
  std::ofstream(program) << "#!/bin/sh\n" << body << "\n";
  if (chmod(program.c_str(), mode) != 0)
    throw std::runtime_error("cannot set the mode of " + program);
  fake.runnable_ = (mode & 0111) != 0;
  return fake;
}

FakeHostname FakeHostname::printing(std::string_view output, int status) {
  // Each byte goes through printf as an octal escape, so any bytes survive.
  std::string escaped;
  char octal[8];
  for (unsigned char c : output) {
    std::snprintf(octal, sizeof octal, "\\%03o", c);
    escaped += octal;
  }
  return script("printf '" + escaped + "'\nexit " + std::to_string(status));
}

FakeHostname FakeHostname::missing() {
  FakeHostname fake;
  fake.folder_ = make_temporary_folder();
  return fake;
}

FakeHostname::FakeHostname(FakeHostname&& other) noexcept
    : folder_(std::move(other.folder_)), runnable_(other.runnable_) {
  other.folder_.clear();
}

FakeHostname::~FakeHostname() {
  if (folder_.empty()) return;
  std::ifstream pid_file(folder_ + "/pid");
  pid_t pid = 0;
  if (pid_file >> pid && pid > 0) kill(pid, SIGKILL);
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

std::string FakeHostname::path() const {
  return runnable_ ? folder_ + ":/usr/sbin:/usr/bin:/sbin:/bin" : folder_;
}

int proc_entry_count(const std::string& folder) {
  DIR* entries = opendir(folder.c_str());
  if (entries == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(entries)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(entries);
  return count;
}

std::chrono::nanoseconds cpu_time_of_detached(
    std::function<void()> work, std::chrono::milliseconds window) {
  std::thread worker(std::move(work));
  clockid_t clock{};
  const int error = pthread_getcpuclockid(worker.native_handle(), &clock);
  worker.detach();
  if (error != 0) throw std::runtime_error("no CPU clock for the thread");
  const auto cpu_time = [clock] {
    timespec now{};
    if (clock_gettime(clock, &now) != 0)
      throw std::runtime_error("cannot read the thread's CPU clock");
    return std::chrono::seconds{now.tv_sec} +
           std::chrono::nanoseconds{now.tv_nsec};
  };
  const auto before = cpu_time();
  std::this_thread::sleep_for(window);
  return cpu_time() - before;
}

bool on_search_path(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) ==
         0;
}

std::pair<int, std::string> promtool_check_metrics(const std::string& text) {
  char path[] = "/tmp/pim-metrics-XXXXXX";
  const int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0) return {-1, "cannot create a temporary file"};
  const bool written =
      write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  std::pair<int, std::string> verdict{-1, "cannot write a temporary file"};
  if (written) {
    verdict.second.clear();
    const std::string command =
        std::string("promtool check metrics < ") + path + " 2>&1";
    if (FILE* checker = popen(command.c_str(), "r")) {
      char buffer[512];
      while (const std::size_t got = fread(buffer, 1, sizeof buffer, checker)) {
        verdict.second.append(buffer, got);
      }
      const int status = pclose(checker);
      if (status != -1 && WIFEXITED(status))
        verdict.first = WEXITSTATUS(status);
    }
  }
  unlink(path);
  return verdict;
}

}  // namespace test_support
