#pragma once

#include "base/result.h"
#include "daq_status.h"

namespace maroquint::loopback {

// The analog output line Dev1/ao0 and the input line Dev1/ai0 of the
// data-acquisition device, both paced by a 10 kHz sample clock in
// hardware-timed single-point mode. One WriteLevel and one ReadSample
// together take one sample period.
class AnalogLoopback {
 public:
  AnalogLoopback() = default;
  AnalogLoopback(const AnalogLoopback &) = delete;
  AnalogLoopback &operator=(const AnalogLoopback &) = delete;

  // Creates and configures the output task, then the input task, then starts
  // the output task and then the input task. Stops at the first negative
  // status and returns it; whatever was created is left for Close.
  DaqStatus Open();

  // One output sample; waits at most 10 s.
  DaqStatus WriteLevel(double level);

  // One input sample in volts, or the driver's negative status; waits at
  // most 10 s for it. A warning counts as success.
  maroquint::base::Result<double, DaqStatus> ReadSample();

  // The driver's extended text for the most recent error, zero-terminated.
  // Call before Close, while the tasks still exist.
  void ErrorText(char (&text)[kErrorTextSize]);

  // Stops and then releases the output task and then the input task, each
  // only if it was created.
  void Close();

 private:
  void *output_task_ = nullptr;
  void *input_task_ = nullptr;
};

}  // namespace maroquint::loopback
