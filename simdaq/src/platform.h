// The simulated driver's few contacts with the operating system: the
// monotonic clock, sleeping, the settings file and the trace file.
#ifndef SIMDAQ_PLATFORM_H
#define SIMDAQ_PLATFORM_H

#include <cstdio>
#include <string>

#include "driver.h"

namespace simdaq {

class SteadyClock : public Clock {
 public:
  Nanos Now() override;
  void SleepUntil(Nanos when) override;
};

class FileTraceSink : public TraceSink {
 public:
  ~FileTraceSink() override;
  // Opens path for appending; false if it cannot.
  bool Open(const std::string &path);
  void Write(const std::string &line, bool flush) override;

 private:
  std::FILE *file_ = nullptr;
};

bool ReadWholeFile(const std::string &path, std::string &contents);

}  // namespace simdaq

#endif
