#include "net/log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace maroquint::lsl::net {
namespace {

std::mutex &SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

LogSink &Sink() {
  static LogSink sink;
  return sink;
}

}  // namespace

void LogWarning(std::string_view text) noexcept {
  try {
    std::string line = "lsl: ";
    line.append(text);
    // A warning is one line, whatever the text carried.
    for (char &c : line)
      if (c == '\n' || c == '\r') c = ' ';
    std::lock_guard<std::mutex> lock(SinkMutex());
    if (Sink()) {
      Sink()(line);
      return;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
  } catch (...) {
    // Out of memory while warning: nothing better to do than stay quiet.
  }
}

void SetLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace maroquint::lsl::net
