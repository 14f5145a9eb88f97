// Runs a fuzz target once on every input file named on the command line or
// found in a folder named there (the corpus replay of builds without
// libFuzzer). A broken invariant or a sanitizer report ends the run.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadAll(const std::filesystem::path &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int argc, char **argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto &entry : std::filesystem::directory_iterator(path))
        if (entry.is_regular_file())
          files.push_back(entry.path());
    } else if (std::filesystem::is_regular_file(path)) {
      files.push_back(path);
    } else {
      std::fprintf(stderr, "no such input: %s\n", argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "no inputs\n");
    return 2;
  }
  std::sort(files.begin(), files.end());
  for (const auto &file : files) {
    const std::vector<std::uint8_t> input = ReadAll(file);
    // Like libFuzzer, never a nil pointer, not even for an empty input.
    static const std::uint8_t kEmpty = 0;
    LLVMFuzzerTestOneInput(input.empty() ? &kEmpty : input.data(), input.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  return 0;
}
