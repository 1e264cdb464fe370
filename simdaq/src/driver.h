// The simulated driver behind the C API: the device model plus what the
// settings add around every call (a settings error, injected faults, the
// trace). Time and the trace file come in from outside, so tests drive the
// clock and read the trace directly.
#ifndef SIMDAQ_DRIVER_H
#define SIMDAQ_DRIVER_H

#include <cstdint>
#include <string>
#include <vector>

#include "NIDAQmx.h"
#include "device.h"
#include "settings.h"

namespace simdaq {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Nanos Now() = 0;
  virtual void SleepUntil(Nanos when) = 0;
};

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // line ends with '\n'; flush asks for it to reach the file now.
  virtual void Write(const std::string &line, bool flush) = 0;
};

// The status of every call when the settings are malformed.
constexpr int32 kSettingsErrorStatus = code::kInvalidAttributeValue;

class Driver {
 public:
  // clock is used in realtime mode, and for hold; trace and reservation may be null.
  Driver(const ParseResult &settings, Clock *clock, TraceSink *trace,
         Reservation *reservation = nullptr);

  int32 CreateTask(const char taskName[], TaskHandle *taskHandle);
  int32 CreateAOVoltageChan(TaskHandle taskHandle, const char physicalChannel[],
                            const char nameToAssignToChannel[], float64 minVal, float64 maxVal,
                            int32 units, const char customScaleName[]);
  int32 CreateAIVoltageChan(TaskHandle taskHandle, const char physicalChannel[],
                            const char nameToAssignToChannel[], int32 terminalConfig,
                            float64 minVal, float64 maxVal, int32 units,
                            const char customScaleName[]);
  int32 CfgSampClkTiming(TaskHandle taskHandle, const char source[], float64 rate, int32 activeEdge,
                         int32 sampleMode, uInt64 sampsPerChan);
  int32 SetRealTimeConvLateErrorsToWarnings(TaskHandle taskHandle, bool32 data);
  int32 StartTask(TaskHandle taskHandle);
  int32 WriteAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan, bool32 autoStart,
                       float64 timeout, bool32 dataLayout, const float64 writeArray[],
                       int32 *sampsPerChanWritten, bool32 *reserved);
  int32 ReadAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan, float64 timeout,
                      bool32 fillMode, float64 readArray[], uInt32 arraySizeInSamps,
                      int32 *sampsPerChanRead, bool32 *reserved);
  int32 StopTask(TaskHandle taskHandle);
  int32 ClearTask(TaskHandle taskHandle);
  int32 GetExtendedErrorInfo(char errorString[], uInt32 bufferSize);

 private:
  struct ArmedFault {
    Fault fault;
    bool fired = false;
  };

  const Fault *TakeFault(Function f);
  int32 Inject(const Fault &fault, const std::string &task_name);
  Nanos Now();

  // Runs call, the device's part of f, inside what the settings add around
  // it; clear_outputs runs when an injected fault fails the call first.
  template <typename Call>
  int32 Run(Function f, const TaskHandle &task, Call &&call);
  template <typename Call, typename Clear>
  int32 Run(Function f, const TaskHandle &task, Call &&call, Clear &&clear_outputs);

  // One trace line: the call with its arguments and the status it returned.
  template <typename... Args>
  void TraceCall(Function f, int32 status, const Args &...args);

  bool ok_;
  std::string settings_error_;
  bool realtime_;
  Nanos hold_;
  bool held_ = false;
  Device device_;
  Clock *clock_;
  TraceSink *trace_;
  std::uint64_t calls_[kFunctionCount] = {};
  std::vector<ArmedFault> faults_[kFunctionCount];
  std::string line_;
};

}  // namespace simdaq

#endif
