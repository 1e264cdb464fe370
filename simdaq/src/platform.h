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

// The reservation as a lock on a file per device, <directory>/simdaq-Dev1.lock,
// held while this process has the device. The operating system lets go of it
// when the process ends, however it ends.
class FileReservation : public Reservation {
 public:
  ~FileReservation() override;
  // Where the lock file goes: the directory given, else $XDG_RUNTIME_DIR,
  // else the system's temporary directory.
  void SetDirectory(const std::string &directory);
  bool Take(std::string &problem) override;
  void Give() override;

 private:
  std::string path_;
#if defined(_WIN32)
  void *handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

bool ReadWholeFile(const std::string &path, std::string &contents);

}  // namespace simdaq

#endif
