// The simulated device Dev1 (ao0 and ai0, both +-10 V) and its tasks. The
// model does no I/O and never sleeps: the caller passes the time of every
// call, and a read whose sample does not exist yet says when to call again.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "NIDAQmx.h"
#include "settings.h"
#include "wire.h"

namespace maroquint::simdaq {

using Nanos = std::int64_t;
constexpr Nanos kNever = std::numeric_limits<Nanos>::max();

// Status codes. Where the simulated device stands in for a driver check whose
// code is not known here, it uses the generic -200077 "not a supported value".
namespace code {
constexpr int32 kResourceReserved = -50103;
constexpr int32 kMemoryFull = -50352;
constexpr int32 kInvalidAttributeValue = -200077;
constexpr int32 kMinNotLessThanMax = -200082;
constexpr int32 kInvalidTask = -200088;
constexpr int32 kDuplicateTask = -200089;
constexpr int32 kPhysicalChanDoesNotExist = -200170;
constexpr int32 kInvalidDeviceId = -200220;
constexpr int32 kReadBufferTooSmall = -200229;
constexpr int32 kSamplesNotYetAvailable = -200284;
constexpr int32 kNoChannelsInTask = -200478;
constexpr int32 kTaskRunning = -200479;
constexpr int32 kPropertyNotSettableWhileRunning = -200557;
constexpr int32 kInvalidAODataWrite = -200561;
constexpr int32 kNullPointer = -200604;
constexpr int32 kReadNotCompleteBeforeSampClk = -209800;
constexpr int32 kWriteNotCompleteBeforeSampClk = -209801;
}  // namespace code

// Keeps other processes off the device while this one uses it, as the
// driver reserves a device for the process whose tasks started on it.
class Reservation {
 public:
  virtual ~Reservation() = default;
  // Takes the device for this process; false if another process holds it,
  // with problem left empty, or if the reservation itself failed, with
  // problem saying why.
  virtual bool Take(std::string &problem) = 0;
  virtual void Give() = 0;
};

// Follows the wire in true time, for a recording of it (realtime clock only).
class WireObserver {
 public:
  virtual ~WireObserver() = default;
  virtual void InputStarted(Nanos when) = 0;
  // ao0 drives volts from true time when on.
  virtual void Driven(Nanos when, double volts) = 0;
  // The last task that ran on the device has been cleared.
  virtual void Released() = 0;
};

struct ReadStep {
  bool pending = false;  // the sample does not exist yet: call again at wake
  Nanos wake = 0;
  bool short_wait = false;  // waiting for a change of level to show: at most a period
  int32 status = 0;
};

class Device {
  // Handles are numbers dressed as pointers, never addresses: a handle is
  // recognised without dereferencing it, and a cleared task's handle can never
  // come back as the handle of a newer task.
  static constexpr std::uintptr_t kHandleBase = 0x51D000;
  static constexpr std::uintptr_t kHandleStride = 16;

 public:
  // reservation may be null: then nothing outside this process holds the device.
  explicit Device(const Settings &settings, Reservation *reservation = nullptr);

  int32 CreateTask(const char *name, TaskHandle *handle);
  int32 CreateAOVoltageChan(TaskHandle task, const char *physical, double min, double max,
                            int32 units);
  int32 CreateAIVoltageChan(TaskHandle task, const char *physical, int32 terminal, double min,
                            double max, int32 units);
  int32 CfgSampClkTiming(TaskHandle task, const char *source, double rate, int32 edge, int32 mode,
                         uInt64 samples);
  int32 SetRealTimeConvLateErrorsToWarnings(TaskHandle task, bool32 on);
  int32 StartTask(TaskHandle task, Nanos now);
  int32 WriteAnalogF64(TaskHandle task, int32 samples, bool32 auto_start, double timeout,
                       bool32 layout, const double *data, int32 *written, Nanos now);
  // deadline: the time at which a sample still missing makes the read time out.
  ReadStep ReadAnalogF64(TaskHandle task, int32 samples, double timeout, bool32 fill_mode,
                         double *data, uInt32 array_size, int32 *read, Nanos now, Nanos deadline);
  int32 StopTask(TaskHandle task);
  int32 ClearTask(TaskHandle task);

  void SetObserver(WireObserver *observer) { observer_ = observer; }

  // The text of the most recent error or warning, empty if there was none.
  const std::string &LastError() const { return last_error_; }
  void SetLastError(const std::string &text) { last_error_ = text; }

  // Samples the input task has taken since it last started.
  std::uint64_t SampleIndex() const { return sample_index_; }

  // 1-based creation number of a handle this device made (cleared or not), else 0.
  int TaskNumber(TaskHandle task) const {
    const auto v = reinterpret_cast<std::uintptr_t>(task);
    if (v < kHandleBase + kHandleStride || (v - kHandleBase) % kHandleStride != 0) return 0;
    const std::uintptr_t n = (v - kHandleBase) / kHandleStride;
    return n <= tasks_.size() ? static_cast<int>(n) : 0;
  }
  // The name of a live task, or empty.
  std::string TaskName(TaskHandle task) const;

 private:
  enum class Kind { kNone, kOutput, kInput };
  struct Task {
    std::string name;
    bool cleared = false;
    Kind kind = Kind::kNone;
    std::string physical;  // "Dev1/ao0" or "Dev1/ai0"
    double min = 0, max = 0;
    bool timed = false;
    double period = 0;  // seconds
    bool late_warnings = false;
    bool running = false;
    bool started = false;   // has run since it was created: it holds the reservation
    Nanos t0 = 0;           // start; clock tick k comes at t0 + (k + 1) periods
    std::int64_t next = 0;  // input: next sample to read; output: the tick after the latest latch
    bool has_pending = false;  // output: a value written before start
    double pending = 0;
  };

  Task *Find(TaskHandle task) {
    const int n = TaskNumber(task);
    return n == 0 || tasks_[n - 1].cleared ? nullptr : &tasks_[n - 1];
  }
  int32 Fail(int32 status, const std::string &what, const Task *task);
  int32 CheckLive(TaskHandle handle, Task *&task);
  // The checks a write and a read share: the task's channel and the
  // arguments of hardware-timed single-point mode.
  struct Transfer;
  static const Transfer kWrite, kRead;
  int32 CheckTransfer(const Transfer &transfer, const Task &task, int32 samples, double timeout,
                      bool32 layout, const void *data);
  // Realtime: which sample the read takes, or when to call again; sets the
  // task's next sample when it is there.
  ReadStep NextRealtimeSample(Task &task, double timeout, Nanos now, Nanos deadline);
  int32 CreateChannel(TaskHandle handle, Kind kind, const char *physical, double min, double max,
                      int32 units);
  int32 Start(Task &task, Nanos now);
  Nanos TickTime(const Task &task, std::int64_t k) const;
  // How many of the task's ticks have come by time t (t included).
  std::int64_t TicksBy(const Task &task, Nanos t) const;

  Settings settings_;
  Reservation *reservation_;
  bool reserved_ = false;
  WireObserver *observer_ = nullptr;
  Wire wire_;
  std::vector<Task> tasks_;
  int unnamed_ = 0;
  double ao_level_ = 0.0;  // what ao0 drives; the device keeps it when tasks stop
  Nanos ao_since_ = 0;     // realtime: when ao0 takes (or took) ao_level_
  std::uint64_t sample_index_ = 0;
  std::string last_error_;
};

}  // namespace maroquint::simdaq
