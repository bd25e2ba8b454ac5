// Command-line options of the benchmark tools: "--name value" pairs, each
// name known in advance. A tool that gets a name it does not know, or a value
// that is not a number where one is wanted, prints a usage line and exits 2.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>

class Options {
 public:
  // `defaults` names every option the tool takes, with its default value.
  Options(int argc, char** argv, std::map<std::string, std::string> defaults)
      : values_(std::move(defaults)) {
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      if (!arg.starts_with("--") || i + 1 >= argc ||
          values_.find(std::string(arg.substr(2))) == values_.end()) {
        usage(argv[0]);
      }
      values_[std::string(arg.substr(2))] = argv[++i];
    }
    program_ = argv[0];
  }

  const std::string& text(const std::string& name) const {
    return values_.at(name);
  }

  long long integer(const std::string& name) const {
    const std::string& value = values_.at(name);
    char* end = nullptr;
    errno = 0;
    const long long result = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0) usage(program_.c_str());
    return result;
  }

  double number(const std::string& name) const {
    const std::string& value = values_.at(name);
    char* end = nullptr;
    const double result = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0') usage(program_.c_str());
    return result;
  }

 private:
  [[noreturn]] void usage(const char* program) const {
    std::fprintf(stderr, "usage: %s", program);
    for (const auto& [name, value] : values_) {
      std::fprintf(stderr, " [--%s %s]", name.c_str(),
                   value.empty() ? "VALUE" : value.c_str());
    }
    std::fprintf(stderr, "\n");
    std::exit(2);
  }

  std::map<std::string, std::string> values_;
  std::string program_;
};
