#include "platform.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace simdaq {

Nanos SteadyClock::Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SteadyClock::SleepUntil(Nanos when) {
#if defined(_WIN32)
  // Windows sleeps in steps of a millisecond or more: sleep through the bulk
  // of the wait, then yield until the sample is due.
  constexpr Nanos kSleepGranularity = 2000000;
  if (when - Now() > kSleepGranularity)
    std::this_thread::sleep_for(std::chrono::nanoseconds(when - Now() - kSleepGranularity));
  while (Now() < when) std::this_thread::yield();
#else
  const auto target = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(when));
  std::this_thread::sleep_until(target);
#endif
}

FileTraceSink::~FileTraceSink() {
  if (file_ != nullptr) std::fclose(file_);
}

bool FileTraceSink::Open(const std::string &path) {
  file_ = std::fopen(path.c_str(), "ab");
  return file_ != nullptr;
}

void FileTraceSink::Write(const std::string &line, bool flush) {
  std::fwrite(line.data(), 1, line.size(), file_);
  if (flush) std::fflush(file_);
}

bool ReadWholeFile(const std::string &path, std::string &contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) return false;
  contents = buffer.str();
  return true;
}

}  // namespace simdaq
