#include "device.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "base/text.h"
#include "format.h"

namespace maroquint::simdaq {

namespace {

using maroquint::base::EqualsIgnoreCase;
using maroquint::base::Trim;

constexpr double kMinRate = 0.01;
constexpr double kMaxRate = 250000.0;
constexpr double kRangeLimit = 10.0;

constexpr int32 kUnitsVolts = DAQmx_Val_Volts;
constexpr int32 kTerminalDefault = -1;
constexpr int32 kTerminalRSE = DAQmx_Val_RSE;
constexpr int32 kTerminalNRSE = 10078;
constexpr int32 kTerminalDiff = 10106;
constexpr int32 kTerminalPseudoDiff = 12529;
constexpr int32 kFiniteSamps = 10178;
constexpr int32 kContSamps = 10123;
constexpr double kWaitInfinitely = -1.0;
constexpr Nanos kMaxBacklog = 1000000000;

bool ValidTimeout(double timeout) {
  return timeout == kWaitInfinitely || (timeout >= 0.0 && !std::isnan(timeout));
}

std::string UnsupportedValue(const char *property, const std::string &requested,
                             const std::string &possible) {
  return "Requested value is not a supported value for this property. The property value may be "
         "invalid because it "
         "conflicts with another property.\nProperty: " +
         std::string(property) + "\nRequested Value: " + requested +
         "\nPossible Values: " + possible;
}

std::string OutOfRange(const char *property, double requested, double minimum, double maximum) {
  return "Requested value is not a supported value for this property.\nProperty: " +
         std::string(property) + "\nRequested Value: " + FormatDouble(requested) +
         "\nMinimum Value: " + FormatDouble(minimum) + "\nMaximum Value: " + FormatDouble(maximum);
}

}  // namespace

Device::Device(const Settings &settings, Reservation *reservation)
    : settings_(settings), reservation_(reservation), wire_(settings) {}

std::string Device::TaskName(TaskHandle task) const {
  const int n = TaskNumber(task);
  return n == 0 || tasks_[n - 1].cleared ? std::string() : tasks_[n - 1].name;
}

int32 Device::Fail(int32 status, const std::string &what, const Task *task) {
  last_error_ = what;
  if (task != nullptr) last_error_ += "\n\nTask Name: " + task->name;
  last_error_ += "\n\nStatus Code: " + std::to_string(status);
  return status;
}

int32 Device::CheckLive(TaskHandle handle, Task *&task) {
  task = Find(handle);
  if (task != nullptr) return 0;
  return Fail(code::kInvalidTask, "Task specified is invalid or does not exist.", nullptr);
}

int32 Device::CreateTask(const char *name, TaskHandle *handle) {
  if (handle == nullptr)
    return Fail(code::kNullPointer,
                "NULL pointer was passed for a required parameter.\nParameter: taskHandle",
                nullptr);
  *handle = nullptr;
  std::string wanted = name != nullptr ? Trim(name) : std::string();
  if (wanted.empty()) {
    wanted = "_unnamedTask<" + std::to_string(unnamed_++) + ">";
  } else {
    for (const auto &t : tasks_)
      if (!t.cleared && EqualsIgnoreCase(t.name, wanted.c_str()))
        return Fail(
            code::kDuplicateTask,
            "Task name specified conflicts with an existing task name.\nTask Name: " + wanted,
            nullptr);
  }
  Task task;
  task.name = wanted;
  tasks_.push_back(task);
  *handle = reinterpret_cast<TaskHandle>(kHandleBase + kHandleStride * tasks_.size());
  return 0;
}

int32 Device::CreateChannel(TaskHandle handle, Kind kind, const char *physical, double min,
                            double max, int32 units) {
  Task *task = nullptr;
  if (int32 s = CheckLive(handle, task)) return s;
  if (physical == nullptr)
    return Fail(code::kNullPointer,
                "NULL pointer was passed for a required parameter.\nParameter: physicalChannel",
                task);
  if (task->running)
    return Fail(code::kTaskRunning,
                "Specified operation cannot be performed while the task is running.", task);
  const std::string name = Trim(physical);
  const auto slash = name.find('/');
  const std::string device = name.substr(0, slash);
  if (!EqualsIgnoreCase(device, "Dev1"))
    return Fail(code::kInvalidDeviceId,
                "Device identifier is invalid.\nDevice Specified: " + device +
                    "\nSuggested Device(s): Dev1",
                task);
  const std::string channel = slash == std::string::npos ? std::string() : name.substr(slash + 1);
  const char *valid = kind == Kind::kOutput ? "ao0" : "ai0";
  if (!EqualsIgnoreCase(channel, valid))
    return Fail(code::kPhysicalChanDoesNotExist,
                "Physical channel specified does not exist on this device.\nDevice: Dev1\nPhysical "
                "Channel Name: " +
                    channel + "\nValid Channel Names: " + valid,
                task);
  if (task->kind != Kind::kNone)
    return Fail(code::kInvalidAttributeValue,
                "The simulated device Dev1 takes one channel per task; this task already has " +
                    task->physical + ".",
                task);
  const char *max_property = kind == Kind::kOutput ? "DAQmx_AO_Max" : "DAQmx_AI_Max";
  const char *min_property = kind == Kind::kOutput ? "DAQmx_AO_Min" : "DAQmx_AI_Min";
  if (!(max <= kRangeLimit && max >= -kRangeLimit))
    return Fail(code::kInvalidAttributeValue,
                OutOfRange(max_property, max, -kRangeLimit, kRangeLimit), task);
  if (!(min <= kRangeLimit && min >= -kRangeLimit))
    return Fail(code::kInvalidAttributeValue,
                OutOfRange(min_property, min, -kRangeLimit, kRangeLimit), task);
  if (!(min < max))
    return Fail(code::kMinNotLessThanMax,
                "Minimum is not less than maximum.\nMinimum: " + FormatDouble(min) +
                    "\nMaximum: " + FormatDouble(max),
                task);
  if (units != kUnitsVolts)
    return Fail(
        code::kInvalidAttributeValue,
        UnsupportedValue(kind == Kind::kOutput ? "DAQmx_AO_VoltageUnits" : "DAQmx_AI_VoltageUnits",
                         std::to_string(units), "DAQmx_Val_Volts (10348)"),
        task);
  task->kind = kind;
  task->physical = "Dev1/" + std::string(valid);
  task->min = min;
  task->max = max;
  return 0;
}

int32 Device::CreateAOVoltageChan(TaskHandle task, const char *physical, double min, double max,
                                  int32 units) {
  return CreateChannel(task, Kind::kOutput, physical, min, max, units);
}

int32 Device::CreateAIVoltageChan(TaskHandle handle, const char *physical, int32 terminal,
                                  double min, double max, int32 units) {
  if (terminal != kTerminalDefault && terminal != kTerminalRSE && terminal != kTerminalNRSE &&
      terminal != kTerminalDiff && terminal != kTerminalPseudoDiff) {
    Task *task = nullptr;
    if (int32 s = CheckLive(handle, task)) return s;
    return Fail(code::kInvalidAttributeValue,
                UnsupportedValue(
                    "DAQmx_AI_TermCfg", std::to_string(terminal),
                    "DAQmx_Val_Cfg_Default (-1), DAQmx_Val_RSE (10083), DAQmx_Val_NRSE (10078), "
                    "DAQmx_Val_Diff (10106), DAQmx_Val_PseudoDiff (12529)"),
                task);
  }
  return CreateChannel(handle, Kind::kInput, physical, min, max, units);
}

int32 Device::CfgSampClkTiming(TaskHandle handle, const char *source, double rate, int32 edge,
                               int32 mode, uInt64 samples) {
  Task *task = nullptr;
  if (int32 s = CheckLive(handle, task)) return s;
  if (task->running)
    return Fail(code::kPropertyNotSettableWhileRunning,
                "Specified property cannot be set while the task is running.", task);
  if (task->kind == Kind::kNone)
    return Fail(code::kNoChannelsInTask,
                "Specified operation cannot be performed when there are no channels in the task.",
                task);
  const std::string src = source != nullptr ? Trim(source) : std::string();
  if (!src.empty() && !EqualsIgnoreCase(src, "OnboardClock"))
    return Fail(code::kInvalidAttributeValue,
                UnsupportedValue("DAQmx_SampClk_Src", src, "OnboardClock"), task);
  if (!(rate >= kMinRate && rate <= kMaxRate))
    return Fail(code::kInvalidAttributeValue,
                OutOfRange("DAQmx_SampClk_Rate", rate, kMinRate, kMaxRate), task);
  if (edge != DAQmx_Val_Rising && edge != DAQmx_Val_Falling)
    return Fail(code::kInvalidAttributeValue,
                UnsupportedValue("DAQmx_SampClk_ActiveEdge", std::to_string(edge),
                                 "DAQmx_Val_Rising (10280), DAQmx_Val_Falling (10171)"),
                task);
  if (mode != DAQmx_Val_HWTimedSinglePoint) {
    const bool known = mode == kFiniteSamps || mode == kContSamps;
    return Fail(
        code::kInvalidAttributeValue,
        UnsupportedValue("DAQmx_SampQuant_SampMode", std::to_string(mode),
                         "DAQmx_Val_HWTimedSinglePoint (12522)") +
            (known
                 ? "\nThe simulated device Dev1 supports hardware-timed single-point sampling only."
                 : ""),
        task);
  }
  if (samples != 1)
    return Fail(code::kInvalidAttributeValue,
                UnsupportedValue("DAQmx_SampQuant_SampPerChan", std::to_string(samples),
                                 "1 in hardware-timed single-point mode"),
                task);
  task->timed = true;
  task->period = 1.0 / rate;
  return 0;
}

int32 Device::SetRealTimeConvLateErrorsToWarnings(TaskHandle handle, bool32 on) {
  Task *task = nullptr;
  if (int32 s = CheckLive(handle, task)) return s;
  if (task->running)
    return Fail(code::kPropertyNotSettableWhileRunning,
                "Specified property cannot be set while the task is running.", task);
  task->late_warnings = on != 0;
  return 0;
}

Nanos Device::TickTime(const Task &task, std::int64_t k) const {
  return task.t0 + static_cast<Nanos>(std::llround(static_cast<double>(k + 1) * task.period * 1e9));
}

std::int64_t Device::TicksBy(const Task &task, Nanos t) const {
  if (t < task.t0) return 0;
  // The estimate can be one off either way where rounding meets a tick exactly.
  auto n = static_cast<std::int64_t>(static_cast<double>(t - task.t0) / (task.period * 1e9));
  while (TickTime(task, n) <= t) ++n;
  while (n > 0 && TickTime(task, n - 1) > t) --n;
  return n;
}

int32 Device::Start(Task &task, Nanos now) {
  if (task.kind == Kind::kNone)
    return Fail(code::kNoChannelsInTask,
                "Specified operation cannot be performed when there are no channels in the task.",
                &task);
  if (!task.timed)
    return Fail(
        code::kInvalidAttributeValue,
        UnsupportedValue("DAQmx_SampTimingType", "DAQmx_Val_OnDemand", "DAQmx_Val_SampClk") +
            "\nThe simulated device Dev1 needs DAQmxCfgSampClkTiming before the task starts.",
        &task);
  for (const auto &other : tasks_)
    if (&other != &task && !other.cleared && other.running && other.physical == task.physical)
      return Fail(
          code::kResourceReserved,
          "The specified resource is reserved. The operation could not be completed as specified.\n"
          "Physical Channel: " +
              task.physical + "\nReserved by Task: " + other.name,
          &task);
  if (reservation_ != nullptr && !reserved_) {
    std::string problem;
    if (!reservation_->Take(problem)) {
      if (!problem.empty())
        return Fail(code::kInvalidAttributeValue,
                    "The simulated device Dev1 cannot be reserved for this process: " + problem,
                    &task);
      return Fail(
          code::kResourceReserved,
          "The specified resource is reserved. The operation could not be completed as specified.",
          &task);
    }
    reserved_ = true;
  }
  task.running = true;
  task.started = true;
  task.t0 = now;
  task.next = 0;
  if (task.kind == Kind::kOutput) {
    if (task.has_pending) {
      if (task.pending != ao_level_) ao_since_ = now;
      ao_level_ = task.pending;
      if (observer_ != nullptr) observer_->Driven(now, ao_level_);
    }
    task.has_pending = false;
  } else {
    wire_.Start(task.period, task.min, task.max);
    sample_index_ = 0;
    if (observer_ != nullptr) observer_->InputStarted(now);
  }
  return 0;
}

int32 Device::StartTask(TaskHandle handle, Nanos now) {
  Task *task = nullptr;
  if (int32 s = CheckLive(handle, task)) return s;
  if (task->running)
    return Fail(code::kTaskRunning,
                "Specified operation cannot be performed while the task is running.", task);
  return Start(*task, now);
}

// What sets a write apart from a read in the checks they share.
struct Device::Transfer {
  Kind kind;
  const char *function;
  const char *channel;
  const char *layout;  // the name of the layout argument
  const char *array;   // the name of the array argument
};

const Device::Transfer Device::kWrite{Kind::kOutput, "DAQmxWriteAnalogF64", "an analog output",
                                      "dataLayout", "writeArray"};
const Device::Transfer Device::kRead{Kind::kInput, "DAQmxReadAnalogF64", "an analog input",
                                     "fillMode", "readArray"};

int32 Device::CheckTransfer(const Transfer &transfer, const Task &task, int32 samples,
                            double timeout, bool32 layout, const void *data) {
  if (task.kind == Kind::kNone)
    return Fail(code::kNoChannelsInTask,
                "Specified operation cannot be performed when there are no channels in the task.",
                &task);
  if (task.kind != transfer.kind)
    return Fail(code::kInvalidAttributeValue,
                std::string(transfer.function) + " needs a task with " + transfer.channel +
                    " channel; this task has " + task.physical + ".",
                &task);
  if (samples != 1)
    return Fail(code::kInvalidAttributeValue,
                UnsupportedValue("numSampsPerChan", std::to_string(samples),
                                 "1 in hardware-timed single-point mode"),
                &task);
  if (!ValidTimeout(timeout))
    return Fail(code::kInvalidAttributeValue,
                UnsupportedValue("timeout", FormatDouble(timeout),
                                 "-1 (wait forever) or 0 and more seconds"),
                &task);
  if (layout != DAQmx_Val_GroupByChannel && layout != DAQmx_Val_GroupByScanNumber)
    return Fail(code::kInvalidAttributeValue,
                UnsupportedValue(transfer.layout, std::to_string(layout),
                                 "DAQmx_Val_GroupByChannel (0), DAQmx_Val_GroupByScanNumber (1)"),
                &task);
  if (data == nullptr)
    return Fail(code::kNullPointer,
                std::string("NULL pointer was passed for a required parameter.\nParameter: ") +
                    transfer.array,
                &task);
  return 0;
}

int32 Device::WriteAnalogF64(TaskHandle handle, int32 samples, bool32 auto_start, double timeout,
                             bool32 layout, const double *data, int32 *written, Nanos now) {
  if (written != nullptr) *written = 0;
  Task *task = nullptr;
  if (int32 s = CheckLive(handle, task)) return s;
  if (int32 s = CheckTransfer(kWrite, *task, samples, timeout, layout, data)) return s;
  const double value = data[0];
  if (!(value >= task->min && value <= task->max))
    return Fail(code::kInvalidAODataWrite,
                "Attempted writing analog data that is too large or too small.\nChannel Name: " +
                    task->physical + "\nValue Requested: " + FormatDouble(value) + "\nMinimum: " +
                    FormatDouble(task->min) + "\nMaximum: " + FormatDouble(task->max),
                task);
  if (!task->running) {
    if (!auto_start) {
      task->has_pending = true;
      task->pending = value;
      if (written != nullptr) *written = 1;
      return 0;
    }
    if (int32 s = Start(*task, now)) return s;
  }
  int32 status = 0;
  if (settings_.clock == ClockMode::kRealtime) {
    // There is no output buffer: the value goes out at the first tick after
    // the write, however far behind the caller is, never queued behind
    // earlier writes, so the wire follows the caller's own time. A write
    // that lets a tick pass without a new value has missed its sample clock.
    const std::int64_t tick = TicksBy(*task, now);
    const bool late = settings_.strict && task->next > 0 && tick > task->next;
    if (late) {
      const char *what =
          "DAQmx Write did not complete before the arrival of the next sample clock. This "
          "indicates that your "
          "program is not keeping up with the hardware clock.";
      if (!task->late_warnings) return Fail(code::kWriteNotCompleteBeforeSampClk, what, task);
      status = Fail(-code::kWriteNotCompleteBeforeSampClk, what, task);
    }
    task->next = tick + 1;
    if (value != ao_level_) ao_since_ = TickTime(*task, tick);
    if (observer_ != nullptr) observer_->Driven(TickTime(*task, tick), value);
  }
  ao_level_ = value;
  if (written != nullptr) *written = 1;
  return status;
}

ReadStep Device::ReadAnalogF64(TaskHandle handle, int32 samples, double timeout, bool32 fill_mode,
                               double *data, uInt32 array_size, int32 *read, Nanos now,
                               Nanos deadline) {
  ReadStep step;
  if (read != nullptr) *read = 0;
  Task *task = nullptr;
  if ((step.status = CheckLive(handle, task)) ||
      (step.status = CheckTransfer(kRead, *task, samples, timeout, fill_mode, data)))
    return step;
  if (array_size < 1) {
    step.status = Fail(code::kReadBufferTooSmall,
                       "Buffer is too small to fit read data.\nRequired Buffer Size in Samples: "
                       "1\nBuffer Size in Samples: " +
                           std::to_string(array_size),
                       task);
    return step;
  }
  // Like the driver, a read starts a task that was not started.
  if (!task->running && (step.status = Start(*task, now))) return step;
  if (settings_.clock == ClockMode::kRealtime) {
    step = NextRealtimeSample(*task, timeout, now, deadline);
    if (step.pending || step.status < 0) return step;
  }
  data[0] = wire_.Next(ao_level_);
  task->next++;
  sample_index_ = wire_.Index();
  if (read != nullptr) *read = 1;
  return step;
}

ReadStep Device::NextRealtimeSample(Task &task, double timeout, Nanos now, Nanos deadline) {
  // Never a sample taken before ao0 took its level: a reading cannot show
  // a level before the wire has it, so the read after a change waits for
  // the tick that shows it and skips the samples before. Otherwise the
  // next sample: a reader that fell behind gets its overdue samples at
  // once and keeps the clock's rate on average, and since a change of
  // level always starts from the present, a level held for n samples
  // stays on the wire for n ticks or more. The first read, and one after
  // a stall of more than kMaxBacklog (without strict), takes the latest.
  ReadStep step;
  const bool first = task.next == 0;
  const std::int64_t latest = TicksBy(task, now) - 1;
  const std::int64_t shows_level = TicksBy(task, ao_since_ - 1);
  std::int64_t k = std::max(task.next, shows_level);
  if (k < latest && (first || (!settings_.strict && now - TickTime(task, k) > kMaxBacklog)))
    k = latest;
  const bool late = settings_.strict && !first && (k > task.next || now >= TickTime(task, k + 1));
  const std::string late_text =
      late ? "DAQmx Read did not complete before the arrival of the next sample clock. This "
             "indicates that your program is not keeping up with the hardware clock.\nSample: " +
                 std::to_string(task.next)
           : std::string();
  if (late && !task.late_warnings) {
    step.status = Fail(code::kReadNotCompleteBeforeSampClk, late_text, &task);
    return step;
  }
  const Nanos ready = TickTime(task, k);
  if (now < ready) {
    if (now >= deadline) {
      step.status =
          Fail(code::kSamplesNotYetAvailable,
               "Some or all of the samples requested have not yet been acquired.\nTo wait for "
               "the samples "
               "to become available use a longer read timeout or read later in your program.\n"
               "Attempted to Read Sample: " +
                   std::to_string(k) + "\nTimeout Specified: " + FormatDouble(timeout),
               &task);
      return step;
    }
    step.pending = true;
    step.wake = ready < deadline ? ready : deadline;
    step.short_wait = shows_level >= task.next;
    return step;
  }
  if (late) step.status = Fail(-code::kReadNotCompleteBeforeSampClk, late_text, &task);
  task.next = k;
  return step;
}

int32 Device::StopTask(TaskHandle handle) {
  Task *task = nullptr;
  if (int32 s = CheckLive(handle, task)) return s;
  task->running = false;
  return 0;
}

int32 Device::ClearTask(TaskHandle handle) {
  Task *task = nullptr;
  if (int32 s = CheckLive(handle, task)) return s;
  task->running = false;
  task->cleared = true;
  bool in_use = false;
  for (const auto &t : tasks_) in_use = in_use || (t.started && !t.cleared);
  if (reserved_ && !in_use) {
    reservation_->Give();
    reserved_ = false;
  }
  if (observer_ != nullptr && !in_use) observer_->Released();
  return 0;
}

}  // namespace maroquint::simdaq
