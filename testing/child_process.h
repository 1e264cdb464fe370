#pragma once

// Runs a program as a child process for the tests that run a built program:
// its standard input is a pipe the test writes to, its standard output (and,
// on request, its standard error) is read by a thread of its own as it comes,
// so that a test waits for a text or for the exit, each with a deadline,
// without polling and without a child ever blocking on a full pipe.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/result.h"

namespace maroquint::harness {

// A deadline that only a test gone wrong meets: a run under the sanitizers
// on a busy machine is slow.
constexpr double kGenerousSeconds = 120.0;

enum class ErrorOutput { kInherit, kCapture };

// How starting a child or waiting for its output can fail.
enum class ChildError {
  kNotStarted,   // the program could not be started (the message says why)
  kOutputEnded,  // the output ended without the text
  kTimedOut,     // the text did not come before the deadline
};
using ChildStatus = base::Status<ChildError>;

class ChildProcess {
 public:
  // Starts `program` with `arguments` (not counting the program itself) and
  // this process's environment with `environment` ("NAME=value" entries)
  // added or replacing what is there.
  ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
               const std::vector<std::string> &environment = {},
               ErrorOutput errors = ErrorOutput::kInherit);
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;

  ChildStatus Started() const;

  // Waits until standard output (standard error) contains `text`; fails if
  // that output ends or `timeout_seconds` pass first.
  ChildStatus ReadUntil(const std::string &text, double timeout_seconds = kGenerousSeconds);
  ChildStatus ReadErrorsUntil(const std::string &text, double timeout_seconds = kGenerousSeconds);

  void WriteInput(const std::string &text);
  void CloseInput();

  // Waits for the exit and the end of the outputs. The exit status (128 +
  // the signal's number for a child ended by a signal); none if the child
  // still runs after `timeout_seconds` or never started.
  std::optional<int> Wait(double timeout_seconds = kGenerousSeconds);
  // Whether the child has exited, without waiting.
  bool Exited();

  void Kill();
#ifndef _WIN32
  // Sends `signal` to the child while it runs: SIGINT is Ctrl+C; SIGSTOP
  // and SIGCONT pause it and let it go on.
  void Signal(int signal);
  // The child's resident memory (VmRSS) while it runs, -1 if unknown.
  long ResidentKib() const;
#endif

  // Everything read so far. Lines end in '\n' on every platform.
  std::string Output();
  std::string Errors();

  class Platform;

 private:
  struct Stream {
    std::string text;
    bool ended = false;
    bool carriage_return = false;  // a CR read last, its LF maybe still to come
    std::thread reader;
  };

  void Drain(Stream &stream, int which);
  ChildStatus StreamUntil(Stream &stream, const std::string &text, double timeout_seconds);

  std::unique_ptr<Platform> platform_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Stream output_;
  Stream errors_;
  bool exited_ = false;
  std::optional<int> status_;  // set when the child has exited
  std::thread waiter_;
};

struct Finished {
  std::optional<int> exit_status;  // none: still running or never started
  std::string output;
  std::string errors;
};

// Waits for `child` to end and collects what it printed.
Finished Finish(ChildProcess &child, double timeout_seconds = kGenerousSeconds);

// Starts `program` with an empty standard input, standard error captured.
std::unique_ptr<ChildProcess> StartCapturing(const std::string &program,
                                             const std::vector<std::string> &arguments);

// Runs `program` to its end with an empty standard input, standard error
// captured.
Finished RunToEnd(const std::string &program, const std::vector<std::string> &arguments);

}  // namespace maroquint::harness
