// Runs a fuzz target over saved inputs, without libFuzzer, as a regression
// test: every file named, and every file in every folder named.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; i++) {
    fs::path path = fs::absolute(argv[i]);
    if (fs::is_directory(path)) {
      for (const auto& entry : fs::directory_iterator(path)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      inputs.push_back(path);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    fprintf(stderr, "%s: no inputs to replay\n", argv[0]);
    return 1;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  for (const fs::path& input : inputs) {
    std::ifstream in(input, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
    if (!in.eof() && in.fail()) {
      fprintf(stderr, "%s: couldn't read %s\n", argv[0], input.c_str());
      return 1;
    }
    fprintf(stderr, "replaying %s\n", input.c_str());
    // A target that hangs on an input is a failure too.
    alarm(60);
    static const uint8_t kNone = 0;  // libFuzzer never passes a null pointer either
    LLVMFuzzerTestOneInput(bytes.empty() ? &kNone : bytes.data(), bytes.size());
    alarm(0);
  }
  fprintf(stderr, "%zu inputs replayed\n", inputs.size());
  return 0;
}
