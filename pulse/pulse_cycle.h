#pragma once

#include "base/result.h"
#include "daq_status.h"

#include <cstdint>
#include <limits>

namespace maroquint::pulse {

// The four phases of one pulse cycle, in the order they run.
enum class Phase { kRiseWait, kHighHold, kFallWait, kLowHold };

// The pulse cycle: 5 V from the cycle start until the rise is seen on the
// input and 30 samples have passed, then 0 V until the fall is seen and
// 10000 samples have passed; one marker at each observed rise.
//
// A template over the loopback and the outlet, so that the program runs it
// on the device and the marker stream while tests run it on scripted ones,
// with no indirection in the loop. Loopback needs
// `DaqStatus WriteLevel(double)` and
// `maroquint::base::Result<double, DaqStatus> ReadSample()` (the reading, or
// the driver's negative status), Outlet needs `void PushMarker()`.
//
// Nothing here allocates or prints: between two sample steps the cycle
// only compares, counts and, once per cycle, pushes a marker.
template <class Loopback, class Outlet>
class PulseCycle {
 public:
  static constexpr double kHighLevel = 5.0;
  static constexpr double kLowLevel = 0.0;
  static constexpr double kThreshold = 2.5;
  static constexpr std::int32_t kHighWindow = 30;
  static constexpr std::int32_t kCycleLength = 10000;

  // Runs cycles until a sample step fails and returns that step's status,
  // which is always negative.
  DaqStatus Run(Outlet &outlet, Loopback &loopback) {
    for (;;) {
      const DaqStatus status = Step(outlet, loopback);
      if (status < 0) return status;
    }
  }

  // Makes one sample step (write level, read one sample, count it) and then
  // the phase changes that it brings about, including those of phases that
  // make no step at all. Returns the first negative status of the step, or
  // the write's status. A failed step changes neither the count nor the phase.
  DaqStatus Step(Outlet &outlet, Loopback &loopback) {
    const DaqStatus status = loopback.WriteLevel(level_);
    if (status < 0) return status;
    const auto read = loopback.ReadSample();
    if (!read) return read.Code();
    const double reading = *read;
    // A wait that never ends would overflow the count after 2^31 - 1
    // steps (about 60 hours); held at the maximum it still ends every hold.
    if (count_ < std::numeric_limits<std::int32_t>::max()) ++count_;

    switch (phase_) {
      case Phase::kRiseWait:
        // The wait goes on only while the reading is below the threshold,
        // so a reading that is not a number ends it, as 2.5 V does.
        if (reading < kThreshold) break;
        outlet.PushMarker();
        EnterHighHold();
        break;
      case Phase::kHighHold:
        EnterHighHold();
        break;
      case Phase::kFallWait:
        // Likewise only while above: not a number or 2.5 V ends it.
        if (reading > kThreshold) break;
        EnterLowHold();
        break;
      case Phase::kLowHold:
        EnterLowHold();
        break;
    }
    return status;
  }

  Phase CurrentPhase() const { return phase_; }
  double Level() const { return level_; }
  std::int32_t Count() const { return count_; }

 private:
  void EnterHighHold() {
    if (count_ < kHighWindow) {
      phase_ = Phase::kHighHold;
      return;
    }
    level_ = kLowLevel;
    phase_ = Phase::kFallWait;
  }

  void EnterLowHold() {
    if (count_ < kCycleLength) {
      phase_ = Phase::kLowHold;
      return;
    }
    level_ = kHighLevel;
    count_ = 0;
    phase_ = Phase::kRiseWait;
  }

  Phase phase_ = Phase::kRiseWait;
  double level_ = kHighLevel;
  std::int32_t count_ = 0;
};

}  // namespace maroquint::pulse
