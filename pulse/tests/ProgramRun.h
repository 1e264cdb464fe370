#ifndef MAROQUINT_TESTS_PROGRAMRUN_H
#define MAROQUINT_TESTS_PROGRAMRUN_H

// Runs the built maroquint on the simulated device.

#include "ChildProcess.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

constexpr char kStartLine[] = "Now sending markers...\n";
constexpr char kEndLine[] = "End of program, press Enter key to quit\n";

// Generous: a run under the sanitizers on a busy machine is slow.
constexpr double kTimeout = 120.0;

inline std::string ReadFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

// A trace file of the simulated driver, unique per test.
inline std::string TracePath(const std::string &test_name) {
  return ::testing::TempDir() + "maroquint_" + test_name + ".trace";
}

// Starts the program with the simulated driver configured by `settings`.
inline std::unique_ptr<ChildProcess> StartProgram(const std::string &settings,
                                                  const std::vector<std::string> &arguments = {}) {
  return std::unique_ptr<ChildProcess>(
      new ChildProcess(MAROQUINT_PROGRAM, arguments, {"SIMDAQ=" + settings}));
}

#endif
