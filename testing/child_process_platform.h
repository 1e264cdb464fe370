#pragma once

// The platform seam of ChildProcess: a child started with pipes, and the
// blocking calls on them. Each platform supplies one implementation file.

#include "child_process.h"

#include <cstddef>
#include <string>
#include <vector>

namespace maroquint::harness {

class ChildProcess::Platform {
 public:
  static constexpr int kOutput = 1;
  static constexpr int kErrors = 2;

  Platform(const std::string &program, const std::vector<std::string> &arguments,
           const std::vector<std::string> &environment, ErrorOutput errors);
  // Called once the child has exited and both outputs have ended.
  ~Platform();
  Platform(const Platform &) = delete;
  Platform &operator=(const Platform &) = delete;

  ChildStatus Started() const;
  bool Captures(int which) const;

  // Blocks until the child writes to `which`; 0 at the end of that output.
  std::size_t Read(int which, char *buffer, std::size_t size);
  void Write(const std::string &text);
  void CloseInput();
  // Blocks until the child exits; called once, from one thread.
  int WaitForExit();
  // Safe while another thread is in WaitForExit.
  void Kill();
#ifndef _WIN32
  void Signal(int signal);
  long ResidentKib() const;
#endif

 private:
  struct Handles;
  Handles *handles_;
};

}  // namespace maroquint::harness
