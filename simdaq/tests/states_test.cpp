// Task life cycle and argument checks, through the driver's calls.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "harness.h"

namespace {

using maroquint::simdaq::test::Harness;

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST(TaskStates, HandleIsInvalidAfterClear) {
  Harness h("clock=virtual");
  ASSERT_EQ(h.Open(), 0);
  ASSERT_EQ(h.driver.ClearTask(h.out), 0);
  EXPECT_EQ(h.Write(1.0), -200088);
  EXPECT_TRUE(Contains(h.ErrorText(), "Task specified is invalid or does not exist."));
  EXPECT_TRUE(Contains(h.ErrorText(), "Status Code: -200088"));
  EXPECT_EQ(h.driver.StopTask(h.out), -200088);
  EXPECT_EQ(h.driver.ClearTask(h.out), -200088);
  EXPECT_EQ(h.driver.StartTask(nullptr), -200088);
  int not_a_task = 0;
  EXPECT_EQ(h.driver.StartTask(&not_a_task), -200088);
}

TEST(TaskStates, UnnamedTasksGetUniqueNamesAndNamesMustDiffer) {
  Harness h("clock=virtual");
  TaskHandle a = nullptr, b = nullptr, c = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &a), 0);
  ASSERT_EQ(h.driver.CreateTask("", &b), 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(h.driver.StartTask(b), -200478);
  EXPECT_TRUE(Contains(h.ErrorText(), "Task Name: _unnamedTask<1>"));
  ASSERT_EQ(h.driver.CreateTask("pulse", &c), 0);
  TaskHandle d = reinterpret_cast<TaskHandle>(1);
  EXPECT_EQ(h.driver.CreateTask("pulse", &d), -200089);
  EXPECT_EQ(d, nullptr);
  ASSERT_EQ(h.driver.ClearTask(c), 0);
  EXPECT_EQ(h.driver.CreateTask("pulse", &d), 0);
  EXPECT_EQ(h.driver.CreateTask("", nullptr), -200604);
}

TEST(TaskStates, StartingTwiceAndReconfiguringWhileRunningFail) {
  Harness h("clock=virtual");
  ASSERT_EQ(h.Open(), 0);
  EXPECT_EQ(h.driver.StartTask(h.out), -200479);
  EXPECT_EQ(h.driver.CfgSampClkTiming(h.out, "OnboardClock", 1000.0, DAQmx_Val_Rising,
                                      DAQmx_Val_HWTimedSinglePoint, 1),
            -200557);
  EXPECT_EQ(h.driver.SetRealTimeConvLateErrorsToWarnings(h.in, 1), -200557);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(h.out, "Dev1/ao0", "", -10, 10, DAQmx_Val_Volts, ""),
            -200479);
  ASSERT_EQ(h.driver.StopTask(h.out), 0);
  EXPECT_EQ(h.driver.StartTask(h.out), 0);
}

TEST(TaskStates, ChannelReservedByAnotherRunningTask) {
  Harness h("clock=virtual");
  ASSERT_EQ(h.Open(), 0);
  TaskHandle second = nullptr;
  ASSERT_EQ(h.driver.CreateTask("second", &second), 0);
  ASSERT_EQ(h.driver.CreateAOVoltageChan(second, "Dev1/ao0", "", -5, 5, DAQmx_Val_Volts, nullptr),
            0);
  ASSERT_EQ(h.driver.CfgSampClkTiming(second, nullptr, 1000.0, DAQmx_Val_Rising,
                                      DAQmx_Val_HWTimedSinglePoint, 1),
            0);
  EXPECT_EQ(h.driver.StartTask(second), -50103);
  EXPECT_TRUE(Contains(h.ErrorText(), "Reserved by Task: _unnamedTask<0>")) << h.ErrorText();
  EXPECT_TRUE(Contains(h.ErrorText(), "Task Name: second"));
  ASSERT_EQ(h.driver.StopTask(h.out), 0);
  EXPECT_EQ(h.driver.StartTask(second), 0);
}

TEST(ChannelValidation, DeviceAndChannelNames) {
  Harness h("clock=virtual");
  TaskHandle t = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &t), 0);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev2/ao0", "", -10, 10, DAQmx_Val_Volts, ""), -200220);
  EXPECT_TRUE(Contains(h.ErrorText(), "Device identifier is invalid."));
  EXPECT_TRUE(Contains(h.ErrorText(), "Device Specified: Dev2"));
  EXPECT_TRUE(Contains(h.ErrorText(), "Status Code: -200220"));
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao1", "", -10, 10, DAQmx_Val_Volts, ""), -200170);
  EXPECT_TRUE(Contains(h.ErrorText(), "Physical Channel Name: ao1"));
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ai0", "", -10, 10, DAQmx_Val_Volts, ""), -200170);
  EXPECT_EQ(h.driver.CreateAIVoltageChan(t, "Dev1/ao0", "", DAQmx_Val_RSE, -10, 10, DAQmx_Val_Volts,
                                         nullptr),
            -200170);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, nullptr, "", -10, 10, DAQmx_Val_Volts, ""), -200604);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "", "", -10, 10, DAQmx_Val_Volts, ""), -200220);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "dev1/AO0", "", -10, 10, DAQmx_Val_Volts, ""), 0);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao0", "", -10, 10, DAQmx_Val_Volts, ""), -200077);
}

TEST(ChannelValidation, RangesUnitsAndTerminals) {
  Harness h("clock=virtual");
  TaskHandle t = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &t), 0);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao0", "", -10, 10.5, DAQmx_Val_Volts, ""),
            -200077);
  EXPECT_TRUE(Contains(h.ErrorText(), "Property: DAQmx_AO_Max"));
  EXPECT_TRUE(Contains(h.ErrorText(), "Requested Value: 10.5"));
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao0", "", -11, 10, DAQmx_Val_Volts, ""), -200077);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao0", "", std::nan(""), 10, DAQmx_Val_Volts, ""),
            -200077);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao0", "", 5, 5, DAQmx_Val_Volts, ""), -200082);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao0", "", 6, 5, DAQmx_Val_Volts, ""), -200082);
  EXPECT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao0", "", -10, 10, 10065, ""), -200077);
  EXPECT_TRUE(Contains(h.ErrorText(), "DAQmx_AO_VoltageUnits"));
  TaskHandle in = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &in), 0);
  EXPECT_EQ(
      h.driver.CreateAIVoltageChan(in, "Dev1/ai0", "", 12345, -10, 10, DAQmx_Val_Volts, nullptr),
      -200077);
  EXPECT_TRUE(Contains(h.ErrorText(), "DAQmx_AI_TermCfg"));
  EXPECT_EQ(h.driver.CreateAIVoltageChan(nullptr, "Dev1/ai0", "", DAQmx_Val_RSE, -10, 10,
                                         DAQmx_Val_Volts, nullptr),
            -200088);
  EXPECT_EQ(
      h.driver.CreateAIVoltageChan(in, "Dev1/ai0", "", 10106, -1, 1, DAQmx_Val_Volts, nullptr), 0);
}

TEST(TimingValidation, SourceRateEdgeModeAndSamples) {
  Harness h("clock=virtual");
  TaskHandle t = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &t), 0);
  EXPECT_EQ(
      h.driver.CfgSampClkTiming(t, "", 10000, DAQmx_Val_Rising, DAQmx_Val_HWTimedSinglePoint, 1),
      -200478);
  ASSERT_EQ(h.driver.CreateAOVoltageChan(t, "Dev1/ao0", "", -10, 10, DAQmx_Val_Volts, ""), 0);
  EXPECT_EQ(h.driver.CfgSampClkTiming(t, "PFI0", 10000, DAQmx_Val_Rising,
                                      DAQmx_Val_HWTimedSinglePoint, 1),
            -200077);
  EXPECT_TRUE(Contains(h.ErrorText(), "DAQmx_SampClk_Src"));
  EXPECT_EQ(h.driver.CfgSampClkTiming(t, "OnboardClock", 0, DAQmx_Val_Rising,
                                      DAQmx_Val_HWTimedSinglePoint, 1),
            -200077);
  EXPECT_EQ(h.driver.CfgSampClkTiming(t, "OnboardClock", 1e7, DAQmx_Val_Rising,
                                      DAQmx_Val_HWTimedSinglePoint, 1),
            -200077);
  EXPECT_TRUE(Contains(h.ErrorText(), "DAQmx_SampClk_Rate"));
  EXPECT_EQ(h.driver.CfgSampClkTiming(t, "OnboardClock", std::nan(""), DAQmx_Val_Rising,
                                      DAQmx_Val_HWTimedSinglePoint, 1),
            -200077);
  EXPECT_EQ(h.driver.CfgSampClkTiming(t, "OnboardClock", 10000, 1, DAQmx_Val_HWTimedSinglePoint, 1),
            -200077);
  EXPECT_EQ(h.driver.CfgSampClkTiming(t, "OnboardClock", 10000, DAQmx_Val_Rising, 10123, 1),
            -200077);
  EXPECT_TRUE(Contains(h.ErrorText(), "hardware-timed single-point sampling only"));
  EXPECT_EQ(h.driver.CfgSampClkTiming(t, "OnboardClock", 10000, DAQmx_Val_Rising,
                                      DAQmx_Val_HWTimedSinglePoint, 2),
            -200077);
  EXPECT_EQ(h.driver.StartTask(t), -200077);
  EXPECT_TRUE(Contains(h.ErrorText(), "needs DAQmxCfgSampClkTiming"));
  EXPECT_EQ(h.driver.CfgSampClkTiming(t, "OnboardClock", 10000, DAQmx_Val_Rising,
                                      DAQmx_Val_HWTimedSinglePoint, 1),
            0);
  EXPECT_EQ(h.driver.StartTask(t), 0);
}

TEST(WriteReadValidation, ArgumentsAndTaskKinds) {
  Harness h("clock=virtual");
  ASSERT_EQ(h.Open(), 0);
  double v = 1.0;
  const double two[2] = {1.0, 2.0};
  int32 n = -1;
  EXPECT_EQ(h.driver.WriteAnalogF64(h.out, 2, 1, 10, 0, two, &n, nullptr), -200077);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(h.driver.WriteAnalogF64(h.out, 1, 1, -2, 0, &v, nullptr, nullptr), -200077);
  EXPECT_EQ(h.driver.WriteAnalogF64(h.out, 1, 1, 10, 7, &v, nullptr, nullptr), -200077);
  EXPECT_EQ(h.driver.WriteAnalogF64(h.out, 1, 1, 10, 0, nullptr, nullptr, nullptr), -200604);
  double high = 10.5;
  EXPECT_EQ(h.driver.WriteAnalogF64(h.out, 1, 1, 10, 0, &high, nullptr, nullptr), -200561);
  EXPECT_TRUE(Contains(h.ErrorText(), "Value Requested: 10.5"));
  double nan = std::nan("");
  EXPECT_EQ(h.driver.WriteAnalogF64(h.out, 1, 1, 10, 0, &nan, nullptr, nullptr), -200561);
  EXPECT_EQ(h.driver.WriteAnalogF64(h.in, 1, 1, 10, 0, &v, nullptr, nullptr), -200077);
  EXPECT_EQ(h.driver.WriteAnalogF64(h.out, 1, 1, -1, 1, &v, &n, nullptr), 0);
  EXPECT_EQ(n, 1);

  double r[2] = {7, 7};
  EXPECT_EQ(h.driver.ReadAnalogF64(h.in, 1, 10, 0, r, 0, &n, nullptr), -200229);
  EXPECT_TRUE(Contains(h.ErrorText(), "Buffer is too small"));
  EXPECT_EQ(h.driver.ReadAnalogF64(h.in, 2, 10, 0, r, 2, &n, nullptr), -200077);
  EXPECT_TRUE(std::isnan(r[0]) && std::isnan(r[1])) << "a failed read hands back no value";
  EXPECT_EQ(h.driver.ReadAnalogF64(h.in, 1, 10, 0, nullptr, 1, &n, nullptr), -200604);
  EXPECT_EQ(h.driver.ReadAnalogF64(h.in, 1, 10, 9, r, 1, &n, nullptr), -200077);
  EXPECT_EQ(h.driver.ReadAnalogF64(h.out, 1, 10, 0, r, 1, &n, nullptr), -200077);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(h.driver.ReadAnalogF64(h.in, 1, 10, 0, r, 2, &n, nullptr), 0);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(r[0], 1.0);
}

TEST(WriteReadValidation, TasksWithoutChannelsAndImplicitStarts) {
  Harness h("clock=virtual");
  TaskHandle empty = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &empty), 0);
  double v = 0;
  EXPECT_EQ(h.driver.WriteAnalogF64(empty, 1, 1, 10, 0, &v, nullptr, nullptr), -200478);
  EXPECT_EQ(h.driver.ReadAnalogF64(empty, 1, 10, 0, &v, 1, nullptr, nullptr), -200478);

  TaskHandle out = nullptr, in = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &out), 0);
  ASSERT_EQ(h.driver.CreateAOVoltageChan(out, "Dev1/ao0", "", -10, 10, DAQmx_Val_Volts, ""), 0);
  ASSERT_EQ(
      h.driver.CfgSampClkTiming(out, "", 1000, DAQmx_Val_Rising, DAQmx_Val_HWTimedSinglePoint, 1),
      0);
  ASSERT_EQ(h.driver.CreateTask("", &in), 0);
  ASSERT_EQ(h.driver.CreateAIVoltageChan(in, "Dev1/ai0", "", -1, -10, 10, DAQmx_Val_Volts, nullptr),
            0);
  ASSERT_EQ(
      h.driver.CfgSampClkTiming(in, "", 1000, DAQmx_Val_Falling, DAQmx_Val_HWTimedSinglePoint, 1),
      0);
  // Written before start without auto-start: driven once the task starts.
  double level = 3.0;
  ASSERT_EQ(h.driver.WriteAnalogF64(out, 1, 0, 10, 0, &level, nullptr, nullptr), 0);
  ASSERT_EQ(h.driver.ReadAnalogF64(in, 1, 10, 0, &v, 1, nullptr, nullptr), 0);
  EXPECT_EQ(v, 0.0);
  ASSERT_EQ(h.driver.StartTask(out), 0);
  ASSERT_EQ(h.driver.ReadAnalogF64(in, 1, 10, 0, &v, 1, nullptr, nullptr), 0);
  EXPECT_EQ(v, 3.0);
  ASSERT_EQ(h.driver.StartTask(in), -200479) << "the read started the input task";
  ASSERT_EQ(h.driver.StopTask(out), 0);
  level = -4.0;
  ASSERT_EQ(h.driver.WriteAnalogF64(out, 1, 1, 10, 0, &level, nullptr, nullptr), 0);
  ASSERT_EQ(h.driver.ReadAnalogF64(in, 1, 10, 0, &v, 1, nullptr, nullptr), 0);
  EXPECT_EQ(v, -4.0) << "auto-start";
}

}  // namespace
