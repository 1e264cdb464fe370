// The simulated driver's few contacts with the operating system: the
// monotonic clock, sleeping, the settings file and the trace file.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "driver.h"

namespace maroquint::simdaq {

class SteadyClock : public Clock {
 public:
  Nanos Now() override;
  void SleepUntil(Nanos when) override;
  void SpinUntil(Nanos when) override;
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

// The gate opens when its file exists. A FIFO opens it when a writer
// opens the FIFO.
class FileGate : public Gate {
 public:
  explicit FileGate(std::string path) : path_(std::move(path)) {}
  void Wait() override;

 private:
  std::string path_;
};

// The reservation of Dev1, held while this process has the device; the
// operating system lets go of it when the process ends, however it ends.
// On Linux it is the abstract socket name @simdaq-Dev1, which belongs to the
// network namespace: programs in namespaces of their own (as the tests run
// them) each have a device. On Windows it is a lock on
// %TEMP%\simdaq-Dev1.lock.
class DeviceReservation : public Reservation {
 public:
  ~DeviceReservation() override;
  bool Take(std::string &problem) override;
  void Give() override;

 private:
#if defined(_WIN32)
  void *handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

bool ReadWholeFile(const std::string &path, std::string &contents);

}  // namespace maroquint::simdaq
