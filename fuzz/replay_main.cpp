// Runs a fuzz target's LLVMFuzzerTestOneInput once on each input named on
// the command line (a file, or a folder whose files are taken in name
// order), so that the seed corpora replay in builds without libFuzzer. An
// oracle that finds a mismatch aborts; an argument that yields no input at
// all fails too, so that a corpus gone missing cannot pass.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size);

namespace {

namespace fs = std::filesystem;

// The regular files named by `argument`, or none when it names nothing.
std::vector<fs::path> inputs_of(const fs::path& argument) {
  std::error_code error;
  if (fs::is_regular_file(argument, error)) return {argument};
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(argument, error)) {
    if (entry.is_regular_file(error)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
    return 2;
  }
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::vector<fs::path> files = inputs_of(argv[i]);
    if (files.empty()) {
      std::fprintf(stderr, "no inputs in %s\n", argv[i]);
      return 1;
    }
    for (const fs::path& file : files) {
      std::ifstream stream(file, std::ios::binary);
      if (!stream) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        return 1;
      }
      const std::vector<std::uint8_t> input(
          (std::istreambuf_iterator<char>(stream)),
          std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(input.data(), input.size());
      ++replayed;
    }
  }
  std::printf("replayed %zu inputs\n", replayed);
  return 0;
}
