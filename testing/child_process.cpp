#include "child_process.h"

#include "child_process_platform.h"

#include <chrono>

#include "base/text.h"

namespace maroquint::harness {
namespace {

std::chrono::steady_clock::time_point After(double seconds) {
  return std::chrono::steady_clock::now() +
         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
             std::chrono::duration<double>(seconds));
}

}  // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &arguments,
                           const std::vector<std::string> &environment, ErrorOutput errors)
    : platform_(new Platform(program, arguments, environment, errors)) {
  if (!platform_->Started()) {
    output_.ended = errors_.ended = exited_ = true;
    return;
  }
  output_.reader = std::thread([this] { Drain(output_, Platform::kOutput); });
  if (platform_->Captures(Platform::kErrors))
    errors_.reader = std::thread([this] { Drain(errors_, Platform::kErrors); });
  else
    errors_.ended = true;
  waiter_ = std::thread([this] {
    const int status = platform_->WaitForExit();
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    exited_ = true;
    changed_.notify_all();
  });
}

ChildProcess::~ChildProcess() {
  Kill();
  if (waiter_.joinable()) waiter_.join();
  platform_->CloseInput();
  if (output_.reader.joinable()) output_.reader.join();
  if (errors_.reader.joinable()) errors_.reader.join();
}

void ChildProcess::Drain(Stream &stream, int which) {
  char buffer[4096];
  for (;;) {
    const std::size_t got = platform_->Read(which, buffer, sizeof buffer);
    std::lock_guard<std::mutex> lock(mutex_);
    if (got == 0) {
      if (stream.carriage_return) stream.text.push_back('\r');
      stream.ended = true;
      changed_.notify_all();
      return;
    }
#ifdef _WIN32
    // A console program's lines end in CR LF (the C runtime's text mode);
    // they are kept with LF ends, as on the other platforms.
    for (std::size_t i = 0; i < got; ++i) {
      if (stream.carriage_return && buffer[i] != '\n') stream.text.push_back('\r');
      stream.carriage_return = buffer[i] == '\r';
      if (!stream.carriage_return) stream.text.push_back(buffer[i]);
    }
#else
    stream.text.append(buffer, got);
#endif
    changed_.notify_all();
  }
}

ChildStatus ChildProcess::Started() const {
  return platform_->Started();
}

ChildStatus ChildProcess::StreamUntil(Stream &stream, const std::string &text,
                                      double timeout_seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, After(timeout_seconds),
                      [&] { return stream.ended || stream.text.find(text) != std::string::npos; });
  if (stream.text.find(text) != std::string::npos) return {};
  if (stream.ended)
    return base::Fail(ChildError::kOutputEnded, "the output ended without \"" + text + "\"");
  return base::Fail(ChildError::kTimedOut, base::Format("\"%s\" did not come within %.1f s",
                                                        text.c_str(), timeout_seconds));
}

ChildStatus ChildProcess::ReadUntil(const std::string &text, double timeout_seconds) {
  return StreamUntil(output_, text, timeout_seconds);
}

ChildStatus ChildProcess::ReadErrorsUntil(const std::string &text, double timeout_seconds) {
  return StreamUntil(errors_, text, timeout_seconds);
}

void ChildProcess::WriteInput(const std::string &text) {
  platform_->Write(text);
}

void ChildProcess::CloseInput() {
  platform_->CloseInput();
}

std::optional<int> ChildProcess::Wait(double timeout_seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_until(lock, After(timeout_seconds),
                      [&] { return exited_ && output_.ended && errors_.ended; });
  return status_;
}

bool ChildProcess::Exited() {
  std::lock_guard<std::mutex> lock(mutex_);
  return exited_;
}

void ChildProcess::Kill() {
  if (!Exited()) platform_->Kill();
}

#ifndef _WIN32
void ChildProcess::Signal(int signal) {
  platform_->Signal(signal);
}

long ChildProcess::ResidentKib() const {
  return platform_->ResidentKib();
}
#endif

std::string ChildProcess::Output() {
  std::lock_guard<std::mutex> lock(mutex_);
  return output_.text;
}

std::string ChildProcess::Errors() {
  std::lock_guard<std::mutex> lock(mutex_);
  return errors_.text;
}

Finished Finish(ChildProcess &child, double timeout_seconds) {
  Finished finished;
  finished.exit_status = child.Wait(timeout_seconds);
  finished.output = child.Output();
  finished.errors = child.Errors();
  return finished;
}

std::unique_ptr<ChildProcess> StartCapturing(const std::string &program,
                                             const std::vector<std::string> &arguments) {
  auto child = std::make_unique<ChildProcess>(program, arguments, std::vector<std::string>{},
                                              ErrorOutput::kCapture);
  child->CloseInput();
  return child;
}

Finished RunToEnd(const std::string &program, const std::vector<std::string> &arguments) {
  return Finish(*StartCapturing(program, arguments));
}

}  // namespace maroquint::harness
