#pragma once

// The built maroquint on the simulated device, for tests that run it (see
// maroquint_test_runs in cmake/MaroquintTesting.cmake, which defines
// MAROQUINT_PROGRAM), and what it prints and publishes.

#include "child_process.h"

#include <memory>
#include <string>
#include <vector>

namespace maroquint::harness {

constexpr char kStartLine[] = "Now sending markers...\n";
constexpr char kEndLine[] = "End of program, press Enter key to quit\n";
constexpr int kProgramErrorStatus = 1;
constexpr char kSourceId[] = "bf37e271-e0ee-455b-bc9e-6c23a3308d0e";
constexpr char kMarkerText[] = "/Experiment Control/Synchronization/Trigger/Biosemi";

#ifdef MAROQUINT_PROGRAM
// Starts the program with the simulated driver configured by `settings`.
inline std::unique_ptr<ChildProcess> StartProgram(const std::string &settings,
                                                  const std::vector<std::string> &arguments = {}) {
  return std::make_unique<ChildProcess>(MAROQUINT_PROGRAM, arguments,
                                        std::vector<std::string>{"SIMDAQ=" + settings});
}
#endif

}  // namespace maroquint::harness
