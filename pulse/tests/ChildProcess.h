#ifndef MAROQUINT_TESTS_CHILDPROCESS_H
#define MAROQUINT_TESTS_CHILDPROCESS_H

// Runs a program as a child process with its standard input and output
// connected to this process, for tests of the built program. The platform
// seam of the tests: each platform supplies its own implementation file.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class ChildProcess {
 public:
  // Starts `program` with `arguments` (not counting the program itself) and
  // this process's environment with `environment` ("NAME=value" entries)
  // added or replacing what is there.
  ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
               const std::vector<std::string> &environment);
  ~ChildProcess();  // ends the child if it still runs
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  bool Started() const;

  // Reads standard output until it contains `text`; false if the output
  // ends or `timeout_seconds` pass first.
  bool ReadUntil(const std::string &text, double timeout_seconds);

  void WriteInput(const std::string &text);
  void CloseInput();

  // Reads the rest of standard output and waits for the exit. The exit
  // status, or -1 if the child is still running after `timeout_seconds`.
  int Wait(double timeout_seconds);

  // Everything read from standard output so far.
  const std::string &Output() const { return output_; }

 private:
  // Appends what the child writes next; false at the end of its output or
  // at the deadline.
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  struct Handles;
  std::unique_ptr<Handles> handles_;
  std::string output_;
};

#endif
