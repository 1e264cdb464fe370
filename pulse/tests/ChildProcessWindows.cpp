#include "ChildProcess.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

struct ChildProcess::Handles {
  HANDLE process = nullptr;
  HANDLE input = nullptr;   // the child's standard input, write end
  HANDLE output = nullptr;  // the child's standard output, read end
  bool exited = false;
  int status = -1;
  bool carriage_return = false;  // a CR read last, its LF maybe still to come

  void EndOutput(std::string &text) {
    CloseHandle(output);
    output = nullptr;
    if (carriage_return) text.push_back('\r');
    carriage_return = false;
  }
};

namespace {

using Clock = std::chrono::steady_clock;

// The name of a "NAME=value" entry. Windows keeps per-drive directories in
// entries such as "=C:=C:\dir", whose name starts with the '='.
std::string NameOf(const std::string &entry) {
  const std::size_t equals = entry.find('=', 1);
  std::string name = entry.substr(0, equals);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return name;
}

DWORD MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<DWORD>(left.count());
}

Clock::time_point After(double seconds) {
  return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

// One argument as the C runtime of the child splits its command line:
// quotes around it, and backslashes doubled only where a quote follows.
std::string Quoted(const std::string &argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
    return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(2 * backslashes, '\\');
  quoted.push_back('"');
  return quoted;
}

// This process's environment with `own` added or replacing entries of the
// same name, sorted by name as CreateProcess expects.
std::string EnvironmentBlock(const std::vector<std::string> &own) {
  std::vector<std::string> entries;
  if (char *block = GetEnvironmentStringsA()) {
    for (const char *entry = block; *entry != '\0';
         entry += std::char_traits<char>::length(entry) + 1) {
      const std::string text(entry);
      bool replaced = false;
      for (const std::string &mine : own) replaced = replaced || NameOf(mine) == NameOf(text);
      if (!replaced) entries.push_back(text);
    }
    FreeEnvironmentStringsA(block);
  }
  entries.insert(entries.end(), own.begin(), own.end());
  std::stable_sort(entries.begin(), entries.end(), [](const std::string &a, const std::string &b) {
    return NameOf(a) < NameOf(b);
  });
  std::string block;
  for (const std::string &entry : entries) block.append(entry).push_back('\0');
  block.push_back('\0');
  return block;
}

void CloseIfOpen(HANDLE &handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                           const std::vector<std::string> &environment)
    : handles_(new Handles) {
  std::string command_line = Quoted(program);
  for (const std::string &argument : arguments) command_line.append(" ").append(Quoted(argument));
  std::string block = EnvironmentBlock(environment);

  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_input = nullptr;
  HANDLE child_output = nullptr;
  HANDLE input = nullptr;
  HANDLE output = nullptr;
  if (!CreatePipe(&child_input, &input, &inheritable, 0)) return;
  if (!CreatePipe(&output, &child_output, &inheritable, 0)) {
    CloseIfOpen(child_input);
    CloseIfOpen(input);
    return;
  }
  // Only the child's ends may be inherited.
  SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
  HANDLE child_error = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                  &child_error, 0, TRUE, DUPLICATE_SAME_ACCESS);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_input;
  startup.hStdOutput = child_output;
  startup.hStdError = child_error;
  PROCESS_INFORMATION created{};
  const BOOL spawned = CreateProcessA(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0,
                                      &block[0], nullptr, &startup, &created);
  CloseIfOpen(child_input);
  CloseIfOpen(child_output);
  CloseIfOpen(child_error);
  if (!spawned) {
    CloseIfOpen(input);
    CloseIfOpen(output);
    return;
  }
  CloseHandle(created.hThread);
  handles_->process = created.hProcess;
  handles_->input = input;
  handles_->output = output;
}

ChildProcess::~ChildProcess() {
  if (handles_->process != nullptr) {
    if (!handles_->exited) {
      TerminateProcess(handles_->process, 1);
      WaitForSingleObject(handles_->process, INFINITE);
    }
    CloseHandle(handles_->process);
  }
  CloseIfOpen(handles_->input);
  CloseIfOpen(handles_->output);
}

bool ChildProcess::Started() const {
  return handles_->process != nullptr;
}

bool ChildProcess::ReadUntil(const std::string &text, double timeout_seconds) {
  const Clock::time_point deadline = After(timeout_seconds);
  while (output_.find(text) == std::string::npos)
    if (!ReadSome(deadline)) return false;
  return true;
}

bool ChildProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
  // Anonymous pipes have no waitable read with a timeout; peeking tells
  // whether a read would block, and a broken pipe that the output ended.
  for (;;) {
    if (handles_->output == nullptr) return false;
    DWORD available = 0;
    if (!PeekNamedPipe(handles_->output, nullptr, 0, nullptr, &available, nullptr)) {
      handles_->EndOutput(output_);
      return false;
    }
    if (available > 0) break;
    if (MillisecondsLeft(deadline) == 0) return false;
    Sleep(1);
  }
  char buffer[4096];
  DWORD got = 0;
  if (!ReadFile(handles_->output, buffer, sizeof buffer, &got, nullptr) || got == 0) {
    handles_->EndOutput(output_);
    return false;
  }
  // The child's console lines end in CR LF (the C runtime's text mode);
  // they are read as text, with LF ends, as on the other platforms.
  for (DWORD i = 0; i < got; ++i) {
    if (handles_->carriage_return && buffer[i] != '\n') output_.push_back('\r');
    handles_->carriage_return = buffer[i] == '\r';
    if (!handles_->carriage_return) output_.push_back(buffer[i]);
  }
  return true;
}

void ChildProcess::WriteInput(const std::string &text) {
  if (handles_->input == nullptr) return;
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD put = 0;
    if (!WriteFile(handles_->input, text.data() + done, static_cast<DWORD>(text.size() - done),
                   &put, nullptr) ||
        put == 0)
      return;
    done += put;
  }
}

void ChildProcess::CloseInput() {
  CloseIfOpen(handles_->input);
}

int ChildProcess::Wait(double timeout_seconds) {
  if (handles_->process == nullptr) return -1;
  const Clock::time_point deadline = After(timeout_seconds);
  // Reading to the end of output first keeps a child that prints much
  // from blocking on a full pipe.
  while (ReadSome(deadline)) {
  }
  if (!handles_->exited) {
    if (WaitForSingleObject(handles_->process, MillisecondsLeft(deadline)) != WAIT_OBJECT_0)
      return -1;
    DWORD code = 0;
    GetExitCodeProcess(handles_->process, &code);
    handles_->exited = true;
    handles_->status = static_cast<int>(code);
  }
  return handles_->status;
}
