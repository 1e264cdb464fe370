// The call trace: one line per call, arguments as the caller passed them.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "setup_trace.h"

namespace {

using maroquint::simdaq::test::Harness;

TEST(Trace, ProgramSequence) {
  Harness h("clock=virtual");
  ASSERT_EQ(h.Open(), 0);
  h.Step(5.0);
  char buffer[2048];
  h.driver.GetExtendedErrorInfo(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "") << "no error to tell";
  h.driver.StopTask(h.out);
  h.driver.ClearTask(h.out);
  h.driver.StopTask(h.in);
  h.driver.ClearTask(h.in);
  EXPECT_EQ(h.trace.text, maroquint::harness::SetupTrace() +
                              "DAQmxWriteAnalogF64(task1, 1, 1, 10, 0, [5], NULL, NULL) = 0\n"
                              "DAQmxReadAnalogF64(task2, 1, 10, 0, [5], 1, &1, NULL) = 0\n"
                              "DAQmxGetExtendedErrorInfo(buf, 2048) = 0\n"
                              "DAQmxStopTask(task1) = 0\n"
                              "DAQmxClearTask(task1) = 0\n"
                              "DAQmxStopTask(task2) = 0\n"
                              "DAQmxClearTask(task2) = 0\n");
  EXPECT_EQ(h.trace.flushed, h.trace.text.size());
}

TEST(Trace, OddArgumentsAndFailures) {
  Harness h("clock=virtual;fault=DAQmxReadAnalogF64#1:-200284");
  TaskHandle t = nullptr;
  h.driver.CreateTask("a \"q\"\\\n\t\x01", &t);
  h.driver.CreateTask("x", nullptr);
  TaskHandle d = nullptr;
  h.driver.CreateTask("a \"q\"\\\n\t\x01", &d);
  int local = 0;
  h.driver.StartTask(&local);
  h.driver.StartTask(nullptr);
  h.driver.CreateAOVoltageChan(t, "Dev1/ao0", nullptr, -2.5, 0.1, DAQmx_Val_Volts, nullptr);
  h.driver.CfgSampClkTiming(t, nullptr, 1234.5, DAQmx_Val_Rising, DAQmx_Val_HWTimedSinglePoint, 1);
  const double levels[2] = {1.25, -0.5};
  int32 written = 0;
  bool32 reserved = 0;
  h.driver.WriteAnalogF64(t, 2, 1, -1, 1, levels, &written, &reserved);
  h.driver.WriteAnalogF64(t, 1, 1, 0.5, 0, nullptr, nullptr, nullptr);
  double r[2] = {0, 0};
  int32 read = 0;
  h.driver.ReadAnalogF64(t, 1, 10, 0, r, 1, &read, nullptr);
  h.driver.ReadAnalogF64(t, 1, 10, 0, nullptr, 0, nullptr, &reserved);
  const int32 needed = h.driver.GetExtendedErrorInfo(nullptr, 0);
  EXPECT_EQ(h.trace.text,
            "DAQmxCreateTask(\"a \\\"q\\\"\\\\\\n\\t\\001\", &task1) = 0\n"
            "DAQmxCreateTask(\"x\", NULL) = -200604\n"
            "DAQmxCreateTask(\"a \\\"q\\\"\\\\\\n\\t\\001\", &NULL) = -200089\n"
            "DAQmxStartTask(invalid) = -200088\n"
            "DAQmxStartTask(NULL) = -200088\n"
            "DAQmxCreateAOVoltageChan(task1, \"Dev1/ao0\", NULL, -2.5, 0.1, 10348, NULL) = 0\n"
            "DAQmxCfgSampClkTiming(task1, NULL, 1234.5, 10280, 12522, 1) = 0\n"
            "DAQmxWriteAnalogF64(task1, 2, 1, -1, 1, [1.25, -0.5], &0, &) = -200077\n"
            "DAQmxWriteAnalogF64(task1, 1, 1, 0.5, 0, NULL, NULL, NULL) = -200604\n"
            "DAQmxReadAnalogF64(task1, 1, 10, 0, [nan], 1, &0, NULL) = -200284\n"
            "DAQmxReadAnalogF64(task1, 1, 10, 0, NULL, 0, NULL, &) = -200077\n"
            "DAQmxGetExtendedErrorInfo(NULL, 0) = " +
                std::to_string(needed) + "\n");
}

TEST(Trace, SuccessfulWritesAndReadsAreNotFlushedOneByOne) {
  Harness h("clock=virtual");
  ASSERT_EQ(h.Open(), 0);
  const std::size_t after_open = h.trace.flushed;
  EXPECT_EQ(after_open, h.trace.text.size());
  h.Steps({1, 2, 3});
  EXPECT_EQ(h.trace.flushed, after_open);
  h.driver.StopTask(h.out);
  EXPECT_EQ(h.trace.flushed, h.trace.text.size());
}

}  // namespace
