// Replays fuzz inputs through a target as an ordinary test: every file in
// the directories named (a missing one holds none), in name order. A broken
// property aborts, which fails the test.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "support.h"

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  std::error_code ec;
  for (int i = 1; i < argc; ++i)
    for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec)) inputs.push_back(entry.path());
  // An empty run would pass whatever the target does: a wrong path must fail.
  if (inputs.empty()) return std::fprintf(stderr, "no inputs found\n"), 1;
  std::ranges::sort(inputs);
  for (const auto& path : inputs) {
    std::fprintf(stderr, "%s\n", path.filename().c_str());
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
}
