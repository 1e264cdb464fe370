#pragma once

// The program's set-up of the device as the simulated driver's trace shows
// it: the nine calls in their order, each with its arguments.

#include <string>
#include <vector>

namespace maroquint::harness {

inline const std::vector<std::string> &SetupCalls() {
  static const std::vector<std::string> kCalls{
      "DAQmxCreateTask(\"\", &task1)",
      "DAQmxCreateAOVoltageChan(task1, \"Dev1/ao0\", \"\", -10, 10, 10348, \"\")",
      "DAQmxCfgSampClkTiming(task1, \"OnboardClock\", 10000, 10280, 12522, 1)",
      "DAQmxCreateTask(\"\", &task2)",
      "DAQmxCreateAIVoltageChan(task2, \"Dev1/ai0\", \"\", 10083, -10, 10, 10348, NULL)",
      "DAQmxCfgSampClkTiming(task2, \"OnboardClock\", 10000, 10171, 12522, 1)",
      "DAQmxSetRealTimeConvLateErrorsToWarnings(task1, 1)",
      "DAQmxStartTask(task1)",
      "DAQmxStartTask(task2)"};
  return kCalls;
}

// One line of the trace: the call and the status it returned.
inline std::string TraceLine(const std::string &call, const std::string &status) {
  return call + " = " + status + "\n";
}

// The trace of a set-up in which every call succeeds.
inline std::string SetupTrace() {
  std::string lines;
  for (const std::string &call : SetupCalls()) lines += TraceLine(call, "0");
  return lines;
}

}  // namespace maroquint::harness
