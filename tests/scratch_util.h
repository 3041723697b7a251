// A scratch folder that is the current directory while a test runs, since
// the receiver stores what it receives there, and the files in it; on
// every system.
#ifndef VELCOT_TESTS_SCRATCH_UTIL_H
#define VELCOT_TESTS_SCRATCH_UTIL_H

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "file_util.h"
#include "wire_util.h"

inline void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class InScratchFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    // create_directory fails on a name taken: the folder is this test's own.
    std::random_device random;
    std::filesystem::path made;
    do {
      made = std::filesystem::temp_directory_path() / ("velcot-test-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(made));
    folder_ = made.string();
    std::filesystem::current_path(folder_);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(folder_);
  }
  std::string folder_;
  std::filesystem::path previous_;
};

#endif
