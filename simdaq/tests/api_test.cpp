// The shared library through its exported C functions. Each test group runs
// in a process of its own with its own SIMDAQ value (see CMakeLists.txt),
// because the driver reads its settings once per process.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "NIDAQmx.h"
#include "SetupTrace.h"

namespace {

std::string g_trace_path;

struct Loopback {
  TaskHandle out = nullptr;
  TaskHandle in = nullptr;

  int32 Open() {
    int32 s;
    if ((s = DAQmxCreateTask("", &out)) < 0) return s;
    if ((s = DAQmxCreateAOVoltageChan(out, "Dev1/ao0", "", -10.0, 10.0, DAQmx_Val_Volts, "")) < 0)
      return s;
    if ((s = DAQmxCfgSampClkTiming(out, "OnboardClock", 10000.0, DAQmx_Val_Rising,
                                   DAQmx_Val_HWTimedSinglePoint, 1)) < 0)
      return s;
    if ((s = DAQmxCreateTask("", &in)) < 0) return s;
    if ((s = DAQmxCreateAIVoltageChan(in, "Dev1/ai0", "", DAQmx_Val_RSE, -10.0, 10.0,
                                      DAQmx_Val_Volts, nullptr)) < 0)
      return s;
    if ((s = DAQmxCfgSampClkTiming(in, "OnboardClock", 10000.0, DAQmx_Val_Falling,
                                   DAQmx_Val_HWTimedSinglePoint, 1)) < 0)
      return s;
    if ((s = DAQmxSetRealTimeConvLateErrorsToWarnings(out, 1)) < 0) return s;
    if ((s = DAQmxStartTask(out)) < 0) return s;
    return DAQmxStartTask(in);
  }
  int32 Step(double level, double &reading) {
    const int32 w =
        DAQmxWriteAnalogF64(out, 1, 1, 10.0, DAQmx_Val_GroupByChannel, &level, nullptr, nullptr);
    if (w < 0) return w;
    int32 read = 0;
    return DAQmxReadAnalogF64(in, 1, 10.0, DAQmx_Val_GroupByChannel, &reading, 1, &read, nullptr);
  }
  void Close() {
    if (out != nullptr) {
      DAQmxStopTask(out);
      DAQmxClearTask(out);
    }
    if (in != nullptr) {
      DAQmxStopTask(in);
      DAQmxClearTask(in);
    }
  }
};

std::string ErrorText() {
  char buffer[2048];
  DAQmxGetExtendedErrorInfo(buffer, sizeof buffer);
  return buffer;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// SIMDAQ=@virtual.settings: clock=virtual, trace=<the path given on the command line>
TEST(ApiVirtual, ProgramRunsAndIsTraced) {
  ASSERT_FALSE(g_trace_path.empty());
  std::remove(g_trace_path.c_str());
  Loopback loop;
  ASSERT_EQ(loop.Open(), 0) << ErrorText();
  for (int cycle = 0; cycle < 3; ++cycle) {
    for (int k = 0; k < 10000; ++k) {
      const double level = k < 30 ? 5.0 : 0.0;
      double reading = -1;
      ASSERT_EQ(loop.Step(level, reading), 0);
      ASSERT_EQ(reading, level);
    }
  }
  EXPECT_EQ(ErrorText(), "");
  loop.Close();
  const std::string trace = ReadFile(g_trace_path);
  EXPECT_EQ(trace.substr(0, trace.find("DAQmxWriteAnalogF64")), maroquint::harness::SetupTrace());
  const std::string tail =
      "DAQmxWriteAnalogF64(task1, 1, 1, 10, 0, [0], NULL, NULL) = 0\n"
      "DAQmxReadAnalogF64(task2, 1, 10, 0, [0], 1, &1, NULL) = 0\n"
      "DAQmxGetExtendedErrorInfo(buf, 2048) = 0\n"
      "DAQmxStopTask(task1) = 0\n"
      "DAQmxClearTask(task1) = 0\n"
      "DAQmxStopTask(task2) = 0\n"
      "DAQmxClearTask(task2) = 0\n";
  ASSERT_GE(trace.size(), tail.size());
  EXPECT_EQ(trace.substr(trace.size() - tail.size()), tail);
  std::size_t lines = 0;
  for (char c : trace) lines += c == '\n';
  EXPECT_EQ(lines, maroquint::harness::SetupCalls().size() + 2u * 30000u + 1u + 4u);
}

// SIMDAQ unset or empty: realtime, connected.
TEST(ApiRealtime, ReadsFollowWritesAtTheSampleClock) {
  Loopback loop;
  ASSERT_EQ(loop.Open(), 0) << ErrorText();
  for (int k = 0; k < 2000; ++k) {
    const double level = (k / 10) % 2 == 0 ? 5.0 : 0.0;
    double reading = -1;
    ASSERT_EQ(loop.Step(level, reading), 0) << ErrorText();
    ASSERT_EQ(reading, level) << k;
  }
  loop.Close();
}

// SIMDAQ=noise=loud
TEST(ApiBadSettings, EveryCallFailsAndTheTextNamesTheSetting) {
  Loopback loop;
  EXPECT_EQ(loop.Open(), -200077);
  EXPECT_EQ(loop.out, nullptr);
  EXPECT_EQ(DAQmxStartTask(nullptr), -200077);
  const std::string text = ErrorText();
  EXPECT_NE(text.find("Invalid setting 'noise=loud'"), std::string::npos) << text;
  EXPECT_NE(text.find("Status Code: -200077"), std::string::npos) << text;
}

// SIMDAQ=@missing.settings
TEST(ApiMissingFile, EveryCallFails) {
  Loopback loop;
  EXPECT_EQ(loop.Open(), -200077);
  EXPECT_NE(ErrorText().find("cannot be read"), std::string::npos) << ErrorText();
}

// SIMDAQ=trace=<a directory that does not exist>/calls.txt
TEST(ApiBadTrace, EveryCallFails) {
  Loopback loop;
  EXPECT_EQ(loop.Open(), -200077);
  EXPECT_NE(ErrorText().find("cannot be opened for appending"), std::string::npos) << ErrorText();
}

// SIMDAQ=@rehearsal.settings from the source tree: a scripted wire and a fault.
TEST(ApiSettingsFile, ScriptAndFaultFromTheFile) {
  Loopback loop;
  ASSERT_EQ(loop.Open(), 0) << ErrorText();
  double reading = 0;
  ASSERT_EQ(loop.Step(5.0, reading), 0);
  EXPECT_EQ(reading, 0.0);
  ASSERT_EQ(loop.Step(5.0, reading), 0);
  EXPECT_EQ(reading, 2.5);
  ASSERT_EQ(loop.Step(5.0, reading), 0);
  EXPECT_TRUE(std::isnan(reading));
  ASSERT_EQ(loop.Step(5.0, reading), 0);
  EXPECT_EQ(reading, 5.0);
  EXPECT_EQ(loop.Step(0.0, reading), -200284);
  EXPECT_EQ(
      ErrorText(),
      "Some or all of the samples requested have not yet been acquired.\nStatus Code: -200284");
  loop.Close();
}

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc > 1) g_trace_path = argv[1];
  return RUN_ALL_TESTS();
}
