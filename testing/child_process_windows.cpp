#include "child_process_platform.h"

#include <algorithm>
#include <cctype>
#include <string>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace maroquint::harness {

struct ChildProcess::Platform::Handles {
  HANDLE process = nullptr;
  HANDLE input = nullptr;   // the child's standard input, write end
  HANDLE output = nullptr;  // the child's standard output, read end
  HANDLE errors = nullptr;  // the child's standard error, read end, when captured
  std::string not_started;  // why, when the child could not be started
};

namespace {

// The name of a "NAME=value" entry. Windows keeps per-drive directories in
// entries such as "=C:=C:\dir", whose name starts with the '='.
std::string NameOf(const std::string &entry) {
  const std::size_t equals = entry.find('=', 1);
  std::string name = entry.substr(0, equals);
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return name;
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

constexpr int kStartAttempts = 5;
constexpr DWORD kStartRetryMs = 100;

void CloseIfOpen(HANDLE &handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

// A pipe whose child end is inheritable and whose own end is not.
bool PipeTo(HANDLE &child_end, HANDLE &own_end, bool child_reads) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return false;
  child_end = child_reads ? read_end : write_end;
  own_end = child_reads ? write_end : read_end;
  SetHandleInformation(own_end, HANDLE_FLAG_INHERIT, 0);
  return true;
}

}  // namespace

ChildProcess::Platform::Platform(const std::string &program,
                                 const std::vector<std::string> &arguments,
                                 const std::vector<std::string> &environment, ErrorOutput errors)
    : handles_(new Handles) {
  std::string command_line = Quoted(program);
  for (const std::string &argument : arguments) command_line.append(" ").append(Quoted(argument));
  std::string block = EnvironmentBlock(environment);

  HANDLE child_input = nullptr;
  HANDLE child_output = nullptr;
  HANDLE child_errors = nullptr;
  bool piped =
      PipeTo(child_input, handles_->input, true) && PipeTo(child_output, handles_->output, false);
  if (piped && errors == ErrorOutput::kCapture)
    piped = PipeTo(child_errors, handles_->errors, false);
  else if (piped)
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                    &child_errors, 0, TRUE, DUPLICATE_SAME_ACCESS);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_input;
  startup.hStdOutput = child_output;
  startup.hStdError = child_errors;
  PROCESS_INFORMATION created{};
  // Under Wine on a busy machine a start now and then fails for no reason
  // of the program's; a few tries, a little apart, get past that.
  BOOL spawned = FALSE;
  for (int attempt = 0; piped && !spawned && attempt < kStartAttempts; ++attempt) {
    if (attempt > 0) Sleep(kStartRetryMs);
    spawned = CreateProcessA(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0,
                             &block[0], nullptr, &startup, &created);
  }
  // Taken before the handles are closed, which would set it anew.
  const DWORD error = spawned ? 0 : GetLastError();
  CloseIfOpen(child_input);
  CloseIfOpen(child_output);
  CloseIfOpen(child_errors);
  if (!spawned) {
    handles_->not_started = "cannot start " + program + ": Windows error " + std::to_string(error);
    CloseIfOpen(handles_->input);
    CloseIfOpen(handles_->output);
    CloseIfOpen(handles_->errors);
    return;
  }
  CloseHandle(created.hThread);
  handles_->process = created.hProcess;
}

ChildProcess::Platform::~Platform() {
  CloseIfOpen(handles_->process);
  CloseIfOpen(handles_->input);
  CloseIfOpen(handles_->output);
  CloseIfOpen(handles_->errors);
  delete handles_;
}

ChildStatus ChildProcess::Platform::Started() const {
  if (handles_->process != nullptr) return {};
  return base::Fail(ChildError::kNotStarted, handles_->not_started);
}

bool ChildProcess::Platform::Captures(int which) const {
  return (which == kOutput ? handles_->output : handles_->errors) != nullptr;
}

std::size_t ChildProcess::Platform::Read(int which, char *buffer, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(which == kOutput ? handles_->output : handles_->errors, buffer,
                static_cast<DWORD>(size), &got, nullptr))
    return 0;
  return got;
}

void ChildProcess::Platform::Write(const std::string &text) {
  std::size_t done = 0;
  while (handles_->input != nullptr && done < text.size()) {
    DWORD put = 0;
    if (!WriteFile(handles_->input, text.data() + done, static_cast<DWORD>(text.size() - done),
                   &put, nullptr) ||
        put == 0)
      return;
    done += put;
  }
}

void ChildProcess::Platform::CloseInput() {
  CloseIfOpen(handles_->input);
}

int ChildProcess::Platform::WaitForExit() {
  WaitForSingleObject(handles_->process, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(handles_->process, &code);
  return static_cast<int>(code);
}

void ChildProcess::Platform::Kill() {
  TerminateProcess(handles_->process, 1);
}

}  // namespace maroquint::harness
