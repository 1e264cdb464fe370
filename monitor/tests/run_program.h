// Test-side platform seam: runs a program in the background with its output
// going to files, which the test may watch while the program runs.
#ifndef MAROQUINT_MONITOR_TESTS_RUN_PROGRAM_H
#define MAROQUINT_MONITOR_TESTS_RUN_PROGRAM_H

#include <future>
#include <string>
#include <vector>

namespace maroquint::monitor::testing {

struct ProgramResult {
  int exit_status = -1;  // -1 when the program did not end normally
  std::string out;
  std::string err;
};

class BackgroundProgram {
 public:
  // Starts at once; standard input is empty (end of file at once).
  BackgroundProgram(const std::string &program, const std::vector<std::string> &args);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram &) = delete;
  BackgroundProgram &operator=(const BackgroundProgram &) = delete;

  // Waits until standard output contains `text`; false after the timeout
  // or when the program ended without printing it.
  bool WaitForOutput(const std::string &text, double timeout_seconds);
  // Waits for the end.
  ProgramResult Finish();

 private:
  std::string out_path_;
  std::string err_path_;
  std::string in_path_;
  std::future<int> exit_status_;
};

inline ProgramResult RunProgram(const std::string &program, const std::vector<std::string> &args) {
  return BackgroundProgram(program, args).Finish();
}

}  // namespace maroquint::monitor::testing

#endif
