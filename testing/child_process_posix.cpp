#include "child_process_platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace maroquint::harness {

struct ChildProcess::Platform::Handles {
  pid_t pid = -1;
  int input = -1;   // the child's standard input, write end
  int output = -1;  // the child's standard output, read end
  int errors = -1;  // the child's standard error, read end, when captured
  std::mutex mutex;
  bool reaped = false;      // the pid may then name another process
  std::string not_started;  // why, when the child could not be started
};

namespace {

std::string NameOf(const std::string &entry) {
  return entry.substr(0, entry.find('='));
}

void CloseIfOpen(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::Platform::Platform(const std::string &program,
                                 const std::vector<std::string> &arguments,
                                 const std::vector<std::string> &environment, ErrorOutput errors)
    : handles_(new Handles) {
  std::vector<std::string> entries;
  for (char **entry = environ; *entry != nullptr; ++entry) {
    bool replaced = false;
    for (const std::string &own : environment) replaced = replaced || NameOf(own) == NameOf(*entry);
    if (!replaced) entries.emplace_back(*entry);
  }
  entries.insert(entries.end(), environment.begin(), environment.end());
  std::vector<char *> envp;
  for (std::string &entry : entries) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::vector<std::string> args{program};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  // O_CLOEXEC: only the ends dup'ed onto 0, 1 and 2 survive into the child.
  const bool capture = errors == ErrorOutput::kCapture;
  int to_child[2] = {-1, -1};
  int from_child[2] = {-1, -1};
  int errors_from_child[2] = {-1, -1};
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0 ||
      (capture && pipe2(errors_from_child, O_CLOEXEC) != 0)) {
    handles_->not_started = "cannot make pipes for " + program + ": " + std::strerror(errno);
    for (int *pair : {to_child, from_child, errors_from_child}) {
      CloseIfOpen(pair[0]);
      CloseIfOpen(pair[1]);
    }
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
  if (capture) posix_spawn_file_actions_adddup2(&actions, errors_from_child[1], 2);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  CloseIfOpen(to_child[0]);
  CloseIfOpen(from_child[1]);
  CloseIfOpen(errors_from_child[1]);
  handles_->input = to_child[1];
  handles_->output = from_child[0];
  handles_->errors = errors_from_child[0];
  if (spawned != 0) {
    handles_->not_started = "cannot start " + program + ": " + std::strerror(spawned);
    CloseIfOpen(handles_->input);
    CloseIfOpen(handles_->output);
    CloseIfOpen(handles_->errors);
    return;
  }
  // A child that exits without reading its input must not kill the test
  // with SIGPIPE when the test writes to it.
  std::signal(SIGPIPE, SIG_IGN);
  handles_->pid = pid;
}

ChildProcess::Platform::~Platform() {
  CloseIfOpen(handles_->input);
  CloseIfOpen(handles_->output);
  CloseIfOpen(handles_->errors);
  delete handles_;
}

ChildStatus ChildProcess::Platform::Started() const {
  if (handles_->pid > 0) return {};
  return base::Fail(ChildError::kNotStarted, handles_->not_started);
}

bool ChildProcess::Platform::Captures(int which) const {
  return (which == kOutput ? handles_->output : handles_->errors) >= 0;
}

std::size_t ChildProcess::Platform::Read(int which, char *buffer, std::size_t size) {
  const int fd = which == kOutput ? handles_->output : handles_->errors;
  for (;;) {
    const ssize_t got = read(fd, buffer, size);
    if (got < 0 && errno == EINTR) continue;
    return got < 0 ? 0 : static_cast<std::size_t>(got);
  }
}

void ChildProcess::Platform::Write(const std::string &text) {
  std::size_t done = 0;
  while (handles_->input >= 0 && done < text.size()) {
    const ssize_t put = write(handles_->input, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

void ChildProcess::Platform::CloseInput() {
  CloseIfOpen(handles_->input);
}

int ChildProcess::Platform::WaitForExit() {
  // Waits without reaping, so that Kill never signals a reused pid.
  siginfo_t info{};
  while (waitid(P_PID, handles_->pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(handles_->mutex);
  int status = 0;
  while (waitpid(handles_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  handles_->reaped = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ChildProcess::Platform::Kill() {
  Signal(SIGKILL);
}

void ChildProcess::Platform::Signal(int signal) {
  std::lock_guard<std::mutex> lock(handles_->mutex);
  if (handles_->pid > 0 && !handles_->reaped) kill(handles_->pid, signal);
}

long ChildProcess::Platform::ResidentKib() const {
  std::ifstream status("/proc/" + std::to_string(handles_->pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace maroquint::harness
