// A fixture that gives each test a new empty directory, removed after it.
#ifndef UNF2MAT_TESTS_TEMP_DIR_H_
#define UNF2MAT_TESTS_TEMP_DIR_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace unf2mat::test {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = test::MakeTempDir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string dir_;
};

}  // namespace unf2mat::test

#endif  // UNF2MAT_TESTS_TEMP_DIR_H_
