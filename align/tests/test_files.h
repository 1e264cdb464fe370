#pragma once

// What the align tests share about files: a folder of its own for each
// test, the files written there and read back, the rows of a TSV text.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace maroquint::align::test {

inline std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A test whose files go to a folder of its own, removed after it: tests
// that run at once, in one process or several, never share a file.
class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::UnitTest &unit = *::testing::UnitTest::GetInstance();
    dir_ = std::filesystem::temp_directory_path() /
           ("maroquint-align-" + std::to_string(unit.random_seed()) + "-" +
            unit.current_test_info()->test_suite_name() + "-" + unit.current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string &name) const { return (dir_ / name).string(); }

  // Writes the file `name` of the folder and returns its path.
  std::string Write(const std::string &name, const std::string &bytes) const {
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::filesystem::path dir_;
};

// The rows of a TSV text, split at tabs.
inline std::vector<std::vector<std::string>> TsvRows(const std::string &text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    rows.emplace_back(1);
    for (const char c : line) {
      if (c == '\t') {
        rows.back().emplace_back();
      } else {
        rows.back().back() += c;
      }
    }
  }
  return rows;
}

}  // namespace maroquint::align::test
