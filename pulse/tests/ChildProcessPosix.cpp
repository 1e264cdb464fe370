#include "ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

struct ChildProcess::Handles {
  pid_t pid = -1;
  int input = -1;   // the child's standard input, write end
  int output = -1;  // the child's standard output, read end
  bool exited = false;
  int status = -1;
};

namespace {

using Clock = std::chrono::steady_clock;

std::string NameOf(const std::string &entry) {
  return entry.substr(0, entry.find('='));
}

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

}  // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                           const std::vector<std::string> &environment)
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

  int to_child[2];
  int from_child[2];
  if (pipe(to_child) != 0) return;
  if (pipe(from_child) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    return;
  }
  // Only the child's ends may survive into the child.
  fcntl(to_child[1], F_SETFD, FD_CLOEXEC);
  fcntl(from_child[0], F_SETFD, FD_CLOEXEC);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
  posix_spawn_file_actions_addclose(&actions, to_child[0]);
  posix_spawn_file_actions_addclose(&actions, from_child[1]);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(to_child[0]);
  close(from_child[1]);
  if (spawned != 0) {
    close(to_child[1]);
    close(from_child[0]);
    return;
  }
  // A child that exits without reading its input must not kill the test
  // with SIGPIPE when the test writes to it.
  std::signal(SIGPIPE, SIG_IGN);
  handles_->pid = pid;
  handles_->input = to_child[1];
  handles_->output = from_child[0];
}

ChildProcess::~ChildProcess() {
  if (handles_->pid > 0 && !handles_->exited) {
    kill(handles_->pid, SIGKILL);
    waitpid(handles_->pid, nullptr, 0);
  }
  if (handles_->input >= 0) close(handles_->input);
  if (handles_->output >= 0) close(handles_->output);
}

bool ChildProcess::Started() const {
  return handles_->pid > 0;
}

bool ChildProcess::ReadUntil(const std::string &text, double timeout_seconds) {
  const Clock::time_point deadline = After(timeout_seconds);
  while (output_.find(text) == std::string::npos)
    if (!ReadSome(deadline)) return false;
  return true;
}

bool ChildProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (handles_->output < 0) return false;
    pollfd ready{handles_->output, POLLIN, 0};
    const int polled = poll(&ready, 1, MillisecondsLeft(deadline));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    char buffer[4096];
    const ssize_t got = read(handles_->output, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(handles_->output);
      handles_->output = -1;
      return false;
    }
    output_.append(buffer, static_cast<std::size_t>(got));
    return true;
  }
}

void ChildProcess::WriteInput(const std::string &text) {
  if (handles_->input < 0) return;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = write(handles_->input, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

void ChildProcess::CloseInput() {
  if (handles_->input < 0) return;
  close(handles_->input);
  handles_->input = -1;
}

int ChildProcess::Wait(double timeout_seconds) {
  if (handles_->pid <= 0) return -1;
  const Clock::time_point deadline = After(timeout_seconds);
  // Reading to the end of output first keeps a child that prints much
  // from blocking on a full pipe.
  while (ReadSome(deadline)) {
  }
  while (!handles_->exited) {
    int status = 0;
    const pid_t done = waitpid(handles_->pid, &status, WNOHANG);
    if (done == handles_->pid) {
      handles_->exited = true;
      handles_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (MillisecondsLeft(deadline) <= 0) return -1;
    usleep(1000);
  }
  return handles_->status;
}
