// Injected statuses: by call number or from a sample index on.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "harness.h"

namespace {

using maroquint::simdaq::test::Harness;

TEST(Faults, NthCallFailsWithTheGivenText) {
  Harness h("clock=virtual;fault=DAQmxReadAnalogF64#3:-200284:Samples are late.\\nReally.");
  ASSERT_EQ(h.Open(), 0);
  double v = 0;
  h.Steps({1, 2});
  EXPECT_EQ(h.Write(3), 0);
  int32 n = -1;
  v = 0;
  EXPECT_EQ(h.driver.ReadAnalogF64(h.in, 1, 10, 0, &v, 1, &n, nullptr), -200284);
  EXPECT_TRUE(std::isnan(v));
  EXPECT_EQ(n, 0);
  EXPECT_EQ(h.ErrorText(), "Samples are late.\nReally.");
  EXPECT_EQ(h.Read(v), 0);
  EXPECT_EQ(v, 3.0) << "the failed read took no sample";
}

TEST(Faults, FailedWriteWritesNothing) {
  Harness h("clock=virtual;fault=DAQmxWriteAnalogF64#2:-200561");
  ASSERT_EQ(h.Open(), 0);
  double v = 0;
  h.Step(1);
  EXPECT_EQ(h.Write(2), -200561);
  EXPECT_NE(h.ErrorText().find("fault=DAQmxWriteAnalogF64#2:-200561"), std::string::npos)
      << h.ErrorText();
  EXPECT_NE(h.ErrorText().find("Task Name: _unnamedTask<0>"), std::string::npos);
  EXPECT_NE(h.ErrorText().find("Status Code: -200561"), std::string::npos);
  EXPECT_EQ(h.Read(v), 0);
  EXPECT_EQ(v, 1.0);
}

TEST(Faults, FromASampleIndexOnOnce) {
  Harness h("clock=virtual;fault=DAQmxWriteAnalogF64@5:209801");
  ASSERT_EQ(h.Open(), 0);
  double v = 0;
  h.Steps({0, 1, 2, 3, 4});
  EXPECT_EQ(h.Write(7), 209801) << "the write for sample 5";
  EXPECT_EQ(h.Read(v), 0);
  EXPECT_EQ(v, 7.0) << "a warning leaves the call done";
  EXPECT_EQ(h.Write(8), 0) << "fires once";
}

TEST(Faults, SetupCallsAndCreateTask) {
  Harness h("clock=virtual;fault=DAQmxCreateTask#2:-50103;fault=DAQmxStartTask#1:200");
  EXPECT_EQ(h.Open(), -50103);
  EXPECT_NE(h.out, nullptr);
  EXPECT_EQ(h.in, nullptr);
  EXPECT_NE(h.ErrorText().find("Status Code: -50103"), std::string::npos);
  Harness s("clock=virtual;fault=DAQmxStartTask#1:200");
  EXPECT_EQ(s.Open(), 0) << "a warning on the first start";
  EXPECT_EQ(s.Step(5), 5.0);
}

TEST(Faults, RealErrorsWinOverInjectedWarnings) {
  Harness h("clock=virtual;fault=DAQmxStopTask#1:1234");
  EXPECT_EQ(h.driver.StopTask(nullptr), -200088);
  EXPECT_EQ(h.driver.StopTask(nullptr), -200088);
}

TEST(Faults, ErrorInfoAndClear) {
  Harness h(
      "clock=virtual;fault=DAQmxGetExtendedErrorInfo#1:-200604;fault=DAQmxClearTask#1:5:cleared "
      "late");
  ASSERT_EQ(h.Open(), 0);
  char buffer[16] = "untouched";
  EXPECT_EQ(h.driver.GetExtendedErrorInfo(buffer, sizeof buffer), -200604);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(h.driver.ClearTask(h.out), 5);
  EXPECT_EQ(h.ErrorText(), "cleared late");
  EXPECT_EQ(h.driver.StopTask(h.out), -200088) << "the warning did not stop the clear";
}

}  // namespace
