#include "driver.h"

#include <cmath>
#include <cstring>

#include "format.h"

namespace simdaq {

namespace {

constexpr std::size_t kMaxTracedSamples = 64;

std::string SettingsErrorText(const ParseResult &settings) {
  return "Simulated NI-DAQmx driver: " + settings.error +
         "\nFix or unset the environment variable SIMDAQ.\n\nStatus Code: " + std::to_string(kSettingsErrorStatus);
}

}  // namespace

Driver::Driver(const ParseResult &settings, Clock *clock, TraceSink *trace)
    : ok_(settings.ok),
      settings_error_(settings.ok ? std::string() : SettingsErrorText(settings)),
      realtime_(settings.settings.clock == ClockMode::Realtime),
      device_(settings.settings),
      clock_(clock),
      trace_(settings.ok ? trace : nullptr) {
  for (const auto &fault : settings.settings.faults) faults_[static_cast<int>(fault.function)].push_back({fault, false});
}

Nanos Driver::Now() { return realtime_ ? clock_->Now() : 0; }

const Fault *Driver::TakeFault(Function f) {
  const int i = static_cast<int>(f);
  const std::uint64_t n = ++calls_[i];
  for (auto &armed : faults_[i]) {
    if (!armed.fault.by_sample && armed.fault.call_number == n) return &armed.fault;
    if (armed.fault.by_sample && !armed.fired && device_.sample_index() >= armed.fault.sample) {
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
    std::string text = "Simulated fault injected by the setting fault=" + std::string(FunctionName(fault.function)) +
                       (fault.by_sample ? "@" + std::to_string(fault.sample) : "#" + std::to_string(fault.call_number)) +
                       ":" + std::to_string(fault.status) + ".";
    if (!task_name.empty()) text += "\n\nTask Name: " + task_name;
    text += "\n\nStatus Code: " + std::to_string(fault.status);
    device_.SetLastError(text);
  }
  return fault.status;
}

// An injected warning replaces the status of a call that did not fail.
int32 Driver::Override(int32 status, const Fault *fault, TaskHandle task) {
  if (fault == nullptr || status < 0) return status;
  return Inject(*fault, device_.TaskName(task));
}

void Driver::BeginTrace(Function f) {
  line_.clear();
  line_ += FunctionName(f);
  line_ += '(';
}

void Driver::AppendHandle(TaskHandle task) {
  if (task == nullptr) {
    line_ += "NULL";
    return;
  }
  const int n = device_.TaskNumber(task);
  if (n == 0) {
    line_ += "invalid";
  } else {
    line_ += "task";
    line_ += std::to_string(n);
  }
}

void Driver::AppendInt(long long value) { line_ += std::to_string(value); }

void Driver::EndTrace(int32 status, bool flush) {
  line_ += ") = ";
  line_ += std::to_string(status);
  line_ += '\n';
  trace_->Write(line_, flush);
}

int32 Driver::CreateTask(const char taskName[], TaskHandle *taskHandle) {
  if (!ok_) {
    if (taskHandle != nullptr) *taskHandle = nullptr;
    return kSettingsErrorStatus;
  }
  const Fault *fault = TakeFault(Function::CreateTask);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    if (taskHandle != nullptr) *taskHandle = nullptr;
    status = Inject(*fault, std::string());
  } else {
    status = device_.CreateTask(taskName, taskHandle);
    status = Override(status, fault, status < 0 ? nullptr : *taskHandle);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::CreateTask);
    AppendQuoted(line_, taskName);
    line_ += ", ";
    if (taskHandle == nullptr) {
      line_ += "NULL";
    } else {
      line_ += '&';
      AppendHandle(status < 0 ? nullptr : *taskHandle);
    }
    EndTrace(status, true);
  }
  return status;
}

int32 Driver::CreateAOVoltageChan(TaskHandle taskHandle, const char physicalChannel[],
                                  const char nameToAssignToChannel[], float64 minVal, float64 maxVal, int32 units,
                                  const char customScaleName[]) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::CreateAOVoltageChan);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    status = Override(device_.CreateAOVoltageChan(taskHandle, physicalChannel, minVal, maxVal, units), fault, taskHandle);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::CreateAOVoltageChan);
    AppendHandle(taskHandle);
    line_ += ", ";
    AppendQuoted(line_, physicalChannel);
    line_ += ", ";
    AppendQuoted(line_, nameToAssignToChannel);
    line_ += ", ";
    AppendDouble(line_, minVal);
    line_ += ", ";
    AppendDouble(line_, maxVal);
    line_ += ", ";
    AppendInt(units);
    line_ += ", ";
    AppendQuoted(line_, customScaleName);
    EndTrace(status, true);
  }
  return status;
}

int32 Driver::CreateAIVoltageChan(TaskHandle taskHandle, const char physicalChannel[],
                                  const char nameToAssignToChannel[], int32 terminalConfig, float64 minVal,
                                  float64 maxVal, int32 units, const char customScaleName[]) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::CreateAIVoltageChan);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    status = Override(device_.CreateAIVoltageChan(taskHandle, physicalChannel, terminalConfig, minVal, maxVal, units),
                      fault, taskHandle);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::CreateAIVoltageChan);
    AppendHandle(taskHandle);
    line_ += ", ";
    AppendQuoted(line_, physicalChannel);
    line_ += ", ";
    AppendQuoted(line_, nameToAssignToChannel);
    line_ += ", ";
    AppendInt(terminalConfig);
    line_ += ", ";
    AppendDouble(line_, minVal);
    line_ += ", ";
    AppendDouble(line_, maxVal);
    line_ += ", ";
    AppendInt(units);
    line_ += ", ";
    AppendQuoted(line_, customScaleName);
    EndTrace(status, true);
  }
  return status;
}

int32 Driver::CfgSampClkTiming(TaskHandle taskHandle, const char source[], float64 rate, int32 activeEdge,
                               int32 sampleMode, uInt64 sampsPerChan) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::CfgSampClkTiming);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    status = Override(device_.CfgSampClkTiming(taskHandle, source, rate, activeEdge, sampleMode, sampsPerChan), fault,
                      taskHandle);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::CfgSampClkTiming);
    AppendHandle(taskHandle);
    line_ += ", ";
    AppendQuoted(line_, source);
    line_ += ", ";
    AppendDouble(line_, rate);
    line_ += ", ";
    AppendInt(activeEdge);
    line_ += ", ";
    AppendInt(sampleMode);
    line_ += ", ";
    line_ += std::to_string(sampsPerChan);
    EndTrace(status, true);
  }
  return status;
}

int32 Driver::SetRealTimeConvLateErrorsToWarnings(TaskHandle taskHandle, bool32 data) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::SetRealTimeConvLateErrorsToWarnings);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    status = Override(device_.SetRealTimeConvLateErrorsToWarnings(taskHandle, data), fault, taskHandle);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::SetRealTimeConvLateErrorsToWarnings);
    AppendHandle(taskHandle);
    line_ += ", ";
    AppendInt(data);
    EndTrace(status, true);
  }
  return status;
}

int32 Driver::StartTask(TaskHandle taskHandle) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::StartTask);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    status = Override(device_.StartTask(taskHandle, Now()), fault, taskHandle);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::StartTask);
    AppendHandle(taskHandle);
    EndTrace(status, true);
  }
  return status;
}

int32 Driver::WriteAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan, bool32 autoStart, float64 timeout,
                             bool32 dataLayout, const float64 writeArray[], int32 *sampsPerChanWritten,
                             bool32 *reserved) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::WriteAnalogF64);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    if (sampsPerChanWritten != nullptr) *sampsPerChanWritten = 0;
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    status = Override(device_.WriteAnalogF64(taskHandle, numSampsPerChan, autoStart, timeout, dataLayout, writeArray,
                                             sampsPerChanWritten, Now()),
                      fault, taskHandle);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::WriteAnalogF64);
    AppendHandle(taskHandle);
    line_ += ", ";
    AppendInt(numSampsPerChan);
    line_ += ", ";
    AppendInt(autoStart);
    line_ += ", ";
    AppendDouble(line_, timeout);
    line_ += ", ";
    AppendInt(dataLayout);
    line_ += ", ";
    if (writeArray == nullptr) {
      line_ += "NULL";
    } else {
      const std::size_t n = numSampsPerChan > 0 ? static_cast<std::size_t>(numSampsPerChan) : 0;
      line_ += '[';
      for (std::size_t i = 0; i < n && i < kMaxTracedSamples; ++i) {
        if (i > 0) line_ += ", ";
        AppendDouble(line_, writeArray[i]);
      }
      if (n > kMaxTracedSamples) line_ += ", ...";
      line_ += ']';
    }
    line_ += ", ";
    if (sampsPerChanWritten == nullptr) {
      line_ += "NULL";
    } else {
      line_ += '&';
      AppendInt(*sampsPerChanWritten);
    }
    line_ += ", ";
    line_ += reserved == nullptr ? "NULL" : "&";
    EndTrace(status, status != 0);
  }
  return status;
}

int32 Driver::ReadAnalogF64(TaskHandle taskHandle, int32 numSampsPerChan, float64 timeout, bool32 fillMode,
                            float64 readArray[], uInt32 arraySizeInSamps, int32 *sampsPerChanRead, bool32 *reserved) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::ReadAnalogF64);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    if (sampsPerChanRead != nullptr) *sampsPerChanRead = 0;
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    Nanos now = Now();
    Nanos deadline = kNever;
    if (realtime_ && timeout >= 0.0 && timeout < 1e9) deadline = now + static_cast<Nanos>(timeout * 1e9);
    ReadStep step;
    while ((step = device_.ReadAnalogF64(taskHandle, numSampsPerChan, timeout, fillMode, readArray, arraySizeInSamps,
                                         sampsPerChanRead, now, deadline))
               .pending) {
      clock_->SleepUntil(step.wake);
      now = clock_->Now();
    }
    status = Override(step.status, fault, taskHandle);
  }
  const std::size_t wanted = numSampsPerChan > 0 ? static_cast<std::size_t>(numSampsPerChan) : 0;
  std::size_t shown = wanted < arraySizeInSamps ? wanted : arraySizeInSamps;
  if (shown > kMaxTracedSamples) shown = kMaxTracedSamples;
  // A failed read hands back no value; NaN marks the places it did not fill.
  if (status < 0 && readArray != nullptr)
    for (std::size_t i = 0; i < shown; ++i) readArray[i] = std::nan("");
  if (trace_ != nullptr) {
    BeginTrace(Function::ReadAnalogF64);
    AppendHandle(taskHandle);
    line_ += ", ";
    AppendInt(numSampsPerChan);
    line_ += ", ";
    AppendDouble(line_, timeout);
    line_ += ", ";
    AppendInt(fillMode);
    line_ += ", ";
    if (readArray == nullptr) {
      line_ += "NULL";
    } else {
      line_ += '[';
      for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) line_ += ", ";
        AppendDouble(line_, readArray[i]);
      }
      line_ += ']';
    }
    line_ += ", ";
    AppendInt(arraySizeInSamps);
    line_ += ", ";
    if (sampsPerChanRead == nullptr) {
      line_ += "NULL";
    } else {
      line_ += '&';
      AppendInt(*sampsPerChanRead);
    }
    line_ += ", ";
    line_ += reserved == nullptr ? "NULL" : "&";
    EndTrace(status, status != 0);
  }
  return status;
}

int32 Driver::StopTask(TaskHandle taskHandle) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::StopTask);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    status = Override(device_.StopTask(taskHandle), fault, taskHandle);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::StopTask);
    AppendHandle(taskHandle);
    EndTrace(status, true);
  }
  return status;
}

int32 Driver::ClearTask(TaskHandle taskHandle) {
  if (!ok_) return kSettingsErrorStatus;
  const Fault *fault = TakeFault(Function::ClearTask);
  int32 status;
  if (fault != nullptr && fault->status < 0) {
    status = Inject(*fault, device_.TaskName(taskHandle));
  } else {
    // The name is taken while the task still exists, for the text of a warning.
    const std::string name = fault != nullptr ? device_.TaskName(taskHandle) : std::string();
    status = device_.ClearTask(taskHandle);
    if (fault != nullptr && status >= 0) status = Inject(*fault, name);
  }
  if (trace_ != nullptr) {
    BeginTrace(Function::ClearTask);
    AppendHandle(taskHandle);
    EndTrace(status, true);
  }
  return status;
}

int32 Driver::GetExtendedErrorInfo(char errorString[], uInt32 bufferSize) {
  // Still answers when the settings are malformed, so that the caller can show why.
  const std::string &text = ok_ ? device_.last_error() : settings_error_;
  const Fault *fault = ok_ ? TakeFault(Function::GetExtendedErrorInfo) : nullptr;
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
  if (trace_ != nullptr) {
    BeginTrace(Function::GetExtendedErrorInfo);
    line_ += errorString == nullptr ? "NULL" : "buf";
    line_ += ", ";
    AppendInt(bufferSize);
    EndTrace(status, true);
  }
  return status;
}

}  // namespace simdaq
