#include "driver.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "format.h"

namespace maroquint::simdaq {

namespace {

constexpr std::size_t kMaxTracedSamples = 64;
constexpr Nanos kMaxRecordingDelay = 1000000000;

std::string SettingsErrorText(const SettingsResult &settings) {
  return "Simulated NI-DAQmx driver: " + settings.Message() +
         "\nFix or unset the environment variable SIMDAQ.\n\nStatus Code: " +
         std::to_string(kSettingsErrorStatus);
}

// Arguments whose C type alone does not say how the trace shows them.
template <typename T>
struct Out {  // written by the call: "&" and the value, or NULL
  const T *value;
};
struct Reserved {  // ignored by the call: "&", or NULL
  const bool32 *pointer;
};
struct Samples {  // "[1.5, -2]", "[1.5, -2, ...]" when cut short, or NULL
  const float64 *data;
  std::size_t shown;
  bool cut;
};
struct ErrorBuffer {  // "buf", or NULL; the text is not shown
  const char *data;
};

// Appends arguments in their trace form; a handle shows as the number of the
// task it names.
class TraceLine {
 public:
  TraceLine(std::string &text, const Device &device) : text_(text), device_(device) {}

  void Put(const char *text) { AppendQuoted(text_, text); }
  void Put(float64 value) { AppendDouble(text_, value); }
  template <typename Int, typename = std::enable_if_t<std::is_integral<Int>::value>>
  void Put(Int value) {
    char buffer[24];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    text_.append(buffer, r.ptr);
  }
  void Put(TaskHandle task) {
    if (task == nullptr) {
      text_ += "NULL";
      return;
    }
    const int n = device_.TaskNumber(task);
    if (n == 0) {
      text_ += "invalid";
    } else {
      text_ += "task";
      Put(n);
    }
  }
  template <typename T>
  void Put(const Out<T> &out) {
    if (out.value == nullptr) {
      text_ += "NULL";
      return;
    }
    text_ += '&';
    Put(*out.value);
  }
  void Put(const Reserved &reserved) { text_ += reserved.pointer == nullptr ? "NULL" : "&"; }
  void Put(const Samples &samples) {
    if (samples.data == nullptr) {
      text_ += "NULL";
      return;
    }
    text_ += '[';
    for (std::size_t i = 0; i < samples.shown; ++i) {
      if (i > 0) text_ += ", ";
      AppendDouble(text_, samples.data[i]);
    }
    if (samples.cut) text_ += ", ...";
    text_ += ']';
  }
  void Put(const ErrorBuffer &buffer) { text_ += buffer.data == nullptr ? "NULL" : "buf"; }

 private:
  std::string &text_;
  const Device &device_;
};

// What a write or read that an injected fault fails hands back as its count.
auto NoSamples(int32 *count) {
  return [count] {
    if (count != nullptr) *count = 0;
  };
}

// Malformed settings leave the device with the defaults, which no call
// reaches.
const Settings &Chosen(const SettingsResult &parsed) {
  static const Settings kDefaults;
  return parsed.Ok() ? parsed.Value() : kDefaults;
}

}  // namespace

Driver::Driver(const SettingsResult &parsed, Clock *clock, TraceSink *trace,
               Reservation *reservation, AmplifierSink *amplifier, Gate *gate)
    : Driver(Chosen(parsed), parsed.Ok() ? std::string() : SettingsErrorText(parsed), clock, trace,
             reservation, amplifier, gate) {}

Driver::Driver(const Settings &settings, std::string settings_error, Clock *clock, TraceSink *trace,
               Reservation *reservation, AmplifierSink *amplifier, Gate *gate)
    : ok_(settings_error.empty()),
      settings_error_(std::move(settings_error)),
      realtime_(settings.clock == ClockMode::kRealtime),
      hold_(static_cast<Nanos>(settings.hold * 1e9)),
      gate_(ok_ && !settings.gate.empty() ? gate : nullptr),
      device_(settings, reservation),
      clock_(clock),
      trace_(ok_ ? trace : nullptr),
      amplifier_sink_(ok_ && !settings.amplifier.empty() ? amplifier : nullptr),
      window_start_(std::llround(settings.amplifier_start * 1e9)),
      window_stop_(std::isinf(settings.amplifier_stop)
                       ? kNever
                       : std::llround(settings.amplifier_stop * 1e9)) {
  for (const auto &fault : settings.faults)
    faults_[static_cast<int>(fault.function)].push_back({fault, false});
  if (amplifier_sink_ != nullptr && realtime_) {
    amplifier_ = std::make_unique<Amplifier>(settings.amplifier_rate, settings.amplifier_drift,
                                             settings.seed);
    device_.SetObserver(this);
  }
}

Driver::~Driver() {
  FinishRecording();
}

void Driver::InputStarted(Nanos when) {
  if (recorded_) return;
  recorded_ = recording_ = true;
  amplifier_->Start(when + window_start_);
  stop_at_ = window_stop_ == kNever ? kNever : when + window_stop_;
  recorded_until_ = when;
  if (window_start_ == 0) Begin();
}

void Driver::Driven(Nanos when, double volts) {
  wire_high_ = volts >= kTriggerThreshold;
  // The run goes on for days after a window ends; the amplifier is done.
  if (recorded_ && !recording_) return;
  if (amplifier_->SetLevel(when, volts) && when < stop_at_) unwritten_edges_.push_back(when);
}

void Driver::Begin() {
  begun_ = true;
  amplifier_sink_->Begin(amplifier_->T0());
}

void Driver::Released() {
  FinishRecording();
}

void Driver::Record() {
  const Nanos now = clock_->Now();
  // A window that starts later begins the file when its first sample is
  // taken, so that the file's start date is that sample's.
  if (!begun_ && now >= amplifier_->T0()) Begin();
  if (!begun_) return;
  for (const Nanos edge : unwritten_edges_) amplifier_sink_->RisingEdge(edge);
  unwritten_edges_.clear();
  AmplifierSample sample;
  while (amplifier_->Next(std::min(now, stop_at_), sample)) amplifier_sink_->Write(sample);
  recorded_until_ = now;
}

void Driver::RecordBetweenPulses() {
  // The program stamps a marker when the read that shows the rise returns:
  // writing the file in the call that raises the wire or in that read would
  // delay the marker by as long as the write takes. While the wire is low
  // nothing waits on a call; a wire held high (a rise that is never seen)
  // is still written every second.
  const Nanos now = clock_->Now();
  if (wire_high_ && now - recorded_until_ < kMaxRecordingDelay) return;
  if (now >= stop_at_)
    FinishRecording();
  else
    Record();
}

void Driver::FinishRecording() {
  if (!recording_) return;
  Record();
  amplifier_sink_->End();
  recording_ = false;
}

Nanos Driver::Now() {
  return realtime_ ? clock_->Now() : 0;
}

const Fault *Driver::TakeFault(Function f) {
  const int i = static_cast<int>(f);
  const std::uint64_t n = ++calls_[i];
  for (auto &armed : faults_[i]) {
    if (!armed.fault.by_sample && armed.fault.call_number == n) return &armed.fault;
    if (armed.fault.by_sample && !armed.fired && device_.SampleIndex() >= armed.fault.sample) {
      armed.fired = true;
      return &armed.fault;
    }
  }
  return nullptr;
}

// Sets the text of an injected status and returns the status.
int32 Driver::Inject(const Fault &fault, const std::string &task_name) {
  if (fault.has_text) {
    device_.SetLastError(fault.text);
  } else {
    std::string text = "Simulated fault injected by the setting fault=" +
                       std::string(FunctionName(fault.function)) +
                       (fault.by_sample ? "@" + std::to_string(fault.sample)
                                        : "#" + std::to_string(fault.call_number)) +
                       ":" + std::to_string(fault.status) + ".";
    if (!task_name.empty()) text += "\n\nTask Name: " + task_name;
    text += "\n\nStatus Code: " + std::to_string(fault.status);
    device_.SetLastError(text);
  }
  return fault.status;
}

template <typename Call>
int32 Driver::Run(Function f, const TaskHandle &task, Call &&call) {
  return Run(f, task, std::forward<Call>(call), [] {});
}

template <typename Call, typename Clear>
int32 Driver::Run(Function f, const TaskHandle &task, Call &&call, Clear &&clear_outputs) {
  if (!ok_) return kSettingsErrorStatus;
  PassGateOnce(f);
  const int32 status =
      RunFaulted(f, task, std::forward<Call>(call), std::forward<Clear>(clear_outputs));
  if (recording_) RecordBetweenPulses();
  return status;
}

template <typename Call, typename Clear>
int32 Driver::RunFaulted(Function f, const TaskHandle &task, Call &&call, Clear &&clear_outputs) {
  const Fault *fault = TakeFault(f);
  if (fault == nullptr) return call();
  if (fault->status < 0) {
    clear_outputs();
    return Inject(*fault, device_.TaskName(task));
  }
  // An injected warning replaces the status of a call that did not fail. Its
  // text names the task while the task lives: before a call that may end it,
  // after one that made it.
  std::string name = device_.TaskName(task);
  const int32 status = call();
  if (status < 0) return status;
  if (name.empty()) name = device_.TaskName(task);
  return Inject(*fault, name);
}

template <typename... Args>
void Driver::TraceCall(Function f, int32 status, const Args &...args) {
  if (trace_ == nullptr) return;
  line_.clear();
  line_ += FunctionName(f);
  line_ += '(';
  TraceLine line(line_, device_);
  const char *separator = "";
  ((line_ += separator, line.Put(args), separator = ", "), ...);
  line_ += ") = ";
  line.Put(status);
  line_ += '\n';
  // The successful writes and reads of a running cycle are too many to flush one by one.
  const bool steady =
      status == 0 && (f == Function::kWriteAnalogF64 || f == Function::kReadAnalogF64);
  trace_->Write(line_, !steady);
}

int32 Driver::CreateTask(const char taskName[], TaskHandle *taskHandle) {
  // A call that fails before the device sees it hands back no handle.
  const auto no_handle = [taskHandle] {
    if (taskHandle != nullptr) *taskHandle = nullptr;
  };
  if (!ok_) no_handle();
  TaskHandle made = nullptr;
  const int32 status = Run(
      Function::kCreateTask, made,
      [&] {
        const int32 s = device_.CreateTask(taskName, taskHandle);
        if (s >= 0) made = *taskHandle;
        return s;
      },
      no_handle);
  TraceCall(Function::kCreateTask, status, taskName,
            Out<TaskHandle>{taskHandle == nullptr ? nullptr : &made});
  return status;
}

int32 Driver::CreateAOVoltageChan(TaskHandle taskHandle, const char physicalChannel[],
                                  const char nameToAssignToChannel[], float64 minVal,
                                  float64 maxVal, int32 units, const char customScaleName[]) {
  const int32 status = Run(Function::kCreateAoVoltageChan, taskHandle, [&] {
    return device_.CreateAOVoltageChan(taskHandle, physicalChannel, minVal, maxVal, units);
  });
  TraceCall(Function::kCreateAoVoltageChan, status, taskHandle, physicalChannel,
            nameToAssignToChannel, minVal, maxVal, units, customScaleName);
  return status;
}

int32 Driver::CreateAIVoltageChan(TaskHandle taskHandle, const char physicalChannel[],
                                  const char nameToAssignToChannel[], int32 terminalConfig,
                                  float64 minVal, float64 maxVal, int32 units,
                                  const char customScaleName[]) {
  const int32 status = Run(Function::kCreateAiVoltageChan, taskHandle, [&] {
    return device_.CreateAIVoltageChan(taskHandle, physicalChannel, terminalConfig, minVal, maxVal,
                                       units);
  });
  TraceCall(Function::kCreateAiVoltageChan, status, taskHandle, physicalChannel,
            nameToAssignToChannel, terminalConfig, minVal, maxVal, units, customScaleName);
  return status;
}

int32 Driver::CfgSampClkTiming(TaskHandle taskHandle, const char source[], float64 rate,
                               int32 activeEdge, int32 sampleMode, uInt64 sampsPerChan) {
  const int32 status = Run(Function::kCfgSampClkTiming, taskHandle, [&] {
    return device_.CfgSampClkTiming(taskHandle, source, rate, activeEdge, sampleMode, sampsPerChan);
  });
  TraceCall(Function::kCfgSampClkTiming, status, taskHandle, source, rate, activeEdge, sampleMode,
            sampsPerChan);
  return status;
}

int32 Driver::SetRealTimeConvLateErrorsToWarnings(TaskHandle taskHandle, bool32 data) {
  const int32 status = Run(Function::kSetRealTimeConvLateErrorsToWarnings, taskHandle, [&] {
    return device_.SetRealTimeConvLateErrorsToWarnings(taskHandle, data);
  });
  TraceCall(Function::kSetRealTimeConvLateErrorsToWarnings, status, taskHandle, data);
  return status;
}

void Driver::HoldOnce() {
  // The hold lets a consumer connect before anything happens, on either
  // clock; it comes before the first write too, so that in real time the
  // wire stays at rest until the hold is over.
  if (held_) return;
  held_ = true;
  if (hold_ > 0) clock_->SleepUntil(clock_->Now() + hold_);
  // The amplifier recorded all through the hold: its samples are written
  // now rather than after the first rise.
  if (recording_) Record();
}

void Driver::PassGateOnce(Function f) {
  // Before the fault is taken, so that a fault of these calls waits too; the
  // set-up before them does not, so that the program declares its stream.
  if (gate_ == nullptr || (f != Function::kStartTask && f != Function::kWriteAnalogF64 &&
                           f != Function::kReadAnalogF64))
    return;
  gate_->Wait();
  gate_ = nullptr;
}

int32 Driver::StartTask(TaskHandle taskHandle) {
  const int32 status =
      Run(Function::kStartTask, taskHandle, [&] { return device_.StartTask(taskHandle, Now()); });
  TraceCall(Function::kStartTask, status, taskHandle);
  return status;
}

int32 Driver::WriteAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan, bool32 autoStart,
                             float64 timeout, bool32 dataLayout, const float64 writeArray[],
                             int32 *sampsPerChanWritten, bool32 *reserved) {
  const int32 status = Run(
      Function::kWriteAnalogF64, taskHandle,
      [&] {
        HoldOnce();
        return device_.WriteAnalogF64(taskHandle, numSampsPerChan, autoStart, timeout, dataLayout,
                                      writeArray, sampsPerChanWritten, Now());
      },
      NoSamples(sampsPerChanWritten));
  const std::size_t n = numSampsPerChan > 0 ? static_cast<std::size_t>(numSampsPerChan) : 0;
  TraceCall(Function::kWriteAnalogF64, status, taskHandle, numSampsPerChan, autoStart, timeout,
            dataLayout, Samples{writeArray, std::min(n, kMaxTracedSamples), n > kMaxTracedSamples},
            Out<int32>{sampsPerChanWritten}, Reserved{reserved});
  return status;
}

int32 Driver::ReadAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan, float64 timeout,
                            bool32 fillMode, float64 readArray[], uInt32 arraySizeInSamps,
                            int32 *sampsPerChanRead, bool32 *reserved) {
  const int32 status = Run(
      Function::kReadAnalogF64, taskHandle,
      [&] {
        HoldOnce();
        Nanos now = Now();
        Nanos deadline = kNever;
        if (realtime_ && timeout >= 0.0 && timeout < 1e9)
          deadline = now + static_cast<Nanos>(timeout * 1e9);
        ReadStep step;
        while (
            (step = device_.ReadAnalogF64(taskHandle, numSampsPerChan, timeout, fillMode, readArray,
                                          arraySizeInSamps, sampsPerChanRead, now, deadline))
                .pending) {
          // The read that shows a change of level is the one the program
          // time-stamps; a sleep could end milliseconds late on a busy machine.
          if (step.short_wait)
            clock_->SpinUntil(step.wake);
          else
            clock_->SleepUntil(step.wake);
          now = clock_->Now();
        }
        return step.status;
      },
      NoSamples(sampsPerChanRead));
  const std::size_t wanted = numSampsPerChan > 0 ? static_cast<std::size_t>(numSampsPerChan) : 0;
  const std::size_t shown =
      std::min({wanted, static_cast<std::size_t>(arraySizeInSamps), kMaxTracedSamples});
  // A failed read hands back no value; NaN marks the places it did not fill.
  // Malformed settings turn the call away before it touches anything.
  if (ok_ && status < 0 && readArray != nullptr) std::fill_n(readArray, shown, std::nan(""));
  TraceCall(Function::kReadAnalogF64, status, taskHandle, numSampsPerChan, timeout, fillMode,
            Samples{readArray, shown, false}, arraySizeInSamps, Out<int32>{sampsPerChanRead},
            Reserved{reserved});
  return status;
}

int32 Driver::StopTask(TaskHandle taskHandle) {
  const int32 status =
      Run(Function::kStopTask, taskHandle, [&] { return device_.StopTask(taskHandle); });
  TraceCall(Function::kStopTask, status, taskHandle);
  return status;
}

int32 Driver::ClearTask(TaskHandle taskHandle) {
  const int32 status =
      Run(Function::kClearTask, taskHandle, [&] { return device_.ClearTask(taskHandle); });
  TraceCall(Function::kClearTask, status, taskHandle);
  return status;
}

int32 Driver::GetExtendedErrorInfo(char errorString[], uInt32 bufferSize) {
  // Still answers when the settings are malformed, so that the caller can show why.
  const std::string &text = ok_ ? device_.LastError() : settings_error_;
  const Fault *fault = ok_ ? TakeFault(Function::kGetExtendedErrorInfo) : nullptr;
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    // A failed call hands back an empty text; the last error stays as it was.
    if (errorString != nullptr && bufferSize > 0) errorString[0] = '\0';
    status = fault->status;
  } else if (bufferSize == 0) {
    // As the driver does, a zero size asks for the size the text needs.
    status = static_cast<int32>(text.size() + 1);
  } else if (errorString == nullptr) {
    status = code::kNullPointer;
  } else {
    const std::size_t n = text.size() < bufferSize - 1 ? text.size() : bufferSize - 1;
    std::memcpy(errorString, text.data(), n);
    errorString[n] = '\0';
    status = fault != nullptr ? fault->status : 0;
  }
  TraceCall(Function::kGetExtendedErrorInfo, status, ErrorBuffer{errorString}, bufferSize);
  return status;
}

}  // namespace maroquint::simdaq
