#include "run_program.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace maroquint::monitor::testing {
namespace {

std::string Quote(const std::string &arg) {
#ifdef _WIN32
  std::string quoted = "\"";
  for (const char c : arg) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
#else
  std::string quoted = "'";
  for (const char c : arg) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
#endif
}

// In text mode: on Windows the program's lines end in CR LF.
std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int ExitStatus(int system_result) {
#ifdef _WIN32
  return system_result;
#else
  if (system_result == -1 || !WIFEXITED(system_result)) return -1;
  return WEXITSTATUS(system_result);
#endif
}

}  // namespace

BackgroundProgram::BackgroundProgram(const std::string &program,
                                     const std::vector<std::string> &args) {
  static std::atomic<int> serial{0};
  const std::string base =
      (std::filesystem::temp_directory_path() /
       ("maroquint-monitor-test-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
        std::to_string(++serial)))
          .string();
  out_path_ = base + ".out";
  err_path_ = base + ".err";
  in_path_ = base + ".in";
  std::ofstream(in_path_).close();
  std::string command = Quote(program);
  for (const std::string &arg : args) command += " " + Quote(arg);
  command += " < " + Quote(in_path_) + " > " + Quote(out_path_) + " 2> " + Quote(err_path_);
#ifdef _WIN32
  // cmd.exe strips the outer quotes of a command line that starts with one.
  command = "\"" + command + "\"";
#endif
  exit_status_ = std::async(std::launch::async,
                            [command] { return ExitStatus(std::system(command.c_str())); });
}

BackgroundProgram::~BackgroundProgram() {
  if (exit_status_.valid()) exit_status_.wait();
  std::error_code ignored;
  for (const std::string &path : {out_path_, err_path_, in_path_})
    std::filesystem::remove(path, ignored);
}

bool BackgroundProgram::WaitForOutput(const std::string &text, double timeout_seconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  for (;;) {
    const bool ended =
        exit_status_.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
    if (ReadFile(out_path_).find(text) != std::string::npos) return true;
    if (ended || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ProgramResult BackgroundProgram::Finish() {
  ProgramResult result;
  result.exit_status = exit_status_.get();
  result.out = ReadFile(out_path_);
  result.err = ReadFile(err_path_);
  return result;
}

}  // namespace maroquint::monitor::testing
