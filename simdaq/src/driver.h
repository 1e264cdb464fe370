// The simulated driver behind the C API: the device model plus what the
// settings add around every call (a settings error, injected faults, the
// trace). Time and the trace file come in from outside, so tests drive the
// clock and read the trace directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <memory>

#include "NIDAQmx.h"
#include "amplifier.h"
#include "device.h"
#include "settings.h"

namespace maroquint::simdaq {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Nanos Now() = 0;
  virtual void SleepUntil(Nanos when) = 0;
  // A short wait that must end on time even on a busy machine.
  virtual void SpinUntil(Nanos when) { SleepUntil(when); }
};

class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // line ends with '\n'; flush asks for it to reach the file now.
  virtual void Write(const std::string &line, bool flush) = 0;
};

// Keeps the device from starting until something outside the process lets
// it go (the setting gate), such as a test whose consumer is connected.
class Gate {
 public:
  virtual ~Gate() = default;
  // Returns once the gate is open.
  virtual void Wait() = 0;
};

// Where the simulated amplifier's recording goes.
class AmplifierSink {
 public:
  virtual ~AmplifierSink() = default;
  // The recording starts; t0 is the true time of its first sample.
  virtual void Begin(Nanos t0) = 0;
  virtual void Write(const AmplifierSample &sample) = 0;
  // The trigger rose at true time when.
  virtual void RisingEdge(Nanos when) = 0;
  virtual void End() = 0;
};

// The status of every call when the settings are malformed.
constexpr int32 kSettingsErrorStatus = code::kInvalidAttributeValue;

class Driver : private WireObserver {
 public:
  // clock is used in realtime mode, and for hold; trace, reservation,
  // amplifier and gate may be null. The amplifier records and the gate is
  // waited for when the settings name them.
  Driver(const SettingsResult &settings, Clock *clock, TraceSink *trace,
         Reservation *reservation = nullptr, AmplifierSink *amplifier = nullptr,
         Gate *gate = nullptr);
  ~Driver() override;
  Driver(const Driver &) = delete;
  Driver &operator=(const Driver &) = delete;

  // Ends the amplifier's recording now, as when the tasks are cleared; the
  // process is about to end.
  void FinishRecording();
  bool Recording() const { return recording_; }

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
  Driver(const Settings &settings, std::string settings_error, Clock *clock, TraceSink *trace,
         Reservation *reservation, AmplifierSink *amplifier, Gate *gate);

  struct ArmedFault {
    Fault fault;
    bool fired = false;
  };

  void InputStarted(Nanos when) override;
  void Driven(Nanos when, double volts) override;
  void Released() override;
  // Hands the amplifier's samples taken until now (or until the window's
  // stop), and the rising edges since the last time, to its sink.
  void Record();
  // The recording's first sample is due: the sink learns its true time.
  void Begin();
  // Records unless that could delay a marker.
  void RecordBetweenPulses();

  const Fault *TakeFault(Function f);
  int32 Inject(const Fault &fault, const std::string &task_name);
  Nanos Now();
  // The first write or read of the process waits for the hold setting.
  void HoldOnce();
  // The first start, write or read of the process waits for the gate.
  void PassGateOnce(Function f);

  // Runs call, the device's part of f, inside what the settings add around
  // it; clear_outputs runs when an injected fault fails the call first.
  template <typename Call>
  int32 Run(Function f, const TaskHandle &task, Call &&call);
  template <typename Call, typename Clear>
  int32 Run(Function f, const TaskHandle &task, Call &&call, Clear &&clear_outputs);
  template <typename Call, typename Clear>
  int32 RunFaulted(Function f, const TaskHandle &task, Call &&call, Clear &&clear_outputs);

  // One trace line: the call with its arguments and the status it returned.
  template <typename... Args>
  void TraceCall(Function f, int32 status, const Args &...args);

  bool ok_;
  std::string settings_error_;
  bool realtime_;
  Nanos hold_;
  bool held_ = false;
  Gate *gate_;
  Device device_;
  Clock *clock_;
  TraceSink *trace_;
  std::unique_ptr<Amplifier> amplifier_;
  AmplifierSink *amplifier_sink_;
  Nanos window_start_;  // the first sample, after the input task's start
  Nanos window_stop_;   // the recording's end, after the input task's start; kNever: none
  bool recording_ = false;
  bool recorded_ = false;  // once per process: a new start does not overwrite the file
  bool begun_ = false;     // the sink knows the first sample's time
  Nanos stop_at_ = kNever;
  bool wire_high_ = false;
  Nanos recorded_until_ = 0;
  std::vector<Nanos> unwritten_edges_;
  std::uint64_t calls_[kFunctionCount] = {};
  std::vector<ArmedFault> faults_[kFunctionCount];
  std::string line_;
};

}  // namespace maroquint::simdaq
