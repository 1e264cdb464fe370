// A simulated driver built from a settings text, with a clock and a trace the
// test controls, and the loopback calls the program makes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver.h"
#include "settings.h"

namespace maroquint::simdaq::test {

using maroquint::simdaq::Nanos;

class FakeClock : public maroquint::simdaq::Clock {
 public:
  Nanos Now() override { return now; }
  void SleepUntil(Nanos when) override {
    sleeps.push_back(when);
    if (when > now) now = when;
  }
  Nanos now = 1000000000;
  std::vector<Nanos> sleeps;
};

class StringSink : public maroquint::simdaq::TraceSink {
 public:
  void Write(const std::string &line, bool flush) override {
    text += line;
    if (flush) flushed = text.size();
  }
  std::string text;
  std::size_t flushed = 0;
};

// A gate that opens at once, shut_for having passed on the clock meanwhile.
struct FakeGate : maroquint::simdaq::Gate {
  void Wait() override {
    ++waits;
    if (clock != nullptr) clock->now += shut_for;
  }
  FakeClock *clock = nullptr;
  Nanos shut_for = 0;
  int waits = 0;
};

inline maroquint::simdaq::SettingsResult Parsed(const std::string &settings) {
  return maroquint::simdaq::ParseSettings(settings, false);
}

class Harness {
 public:
  explicit Harness(const std::string &settings,
                   maroquint::simdaq::Reservation *reservation = nullptr,
                   maroquint::simdaq::AmplifierSink *amplifier = nullptr,
                   maroquint::simdaq::Gate *gate = nullptr)
      : driver(Parsed(settings), &clock, &trace, reservation, amplifier, gate) {}

  // The program's set-up sequence; stops at the first error.
  int32 Open() {
    int32 s;
    if ((s = driver.CreateTask("", &out)) < 0) return s;
    if ((s = driver.CreateAOVoltageChan(out, "Dev1/ao0", "", -10.0, 10.0, DAQmx_Val_Volts, "")) < 0)
      return s;
    if ((s = driver.CfgSampClkTiming(out, "OnboardClock", 10000.0, DAQmx_Val_Rising,
                                     DAQmx_Val_HWTimedSinglePoint, 1)) < 0)
      return s;
    if ((s = driver.CreateTask("", &in)) < 0) return s;
    if ((s = driver.CreateAIVoltageChan(in, "Dev1/ai0", "", DAQmx_Val_RSE, -10.0, 10.0,
                                        DAQmx_Val_Volts, nullptr)) < 0)
      return s;
    if ((s = driver.CfgSampClkTiming(in, "OnboardClock", 10000.0, DAQmx_Val_Falling,
                                     DAQmx_Val_HWTimedSinglePoint, 1)) < 0)
      return s;
    if ((s = driver.SetRealTimeConvLateErrorsToWarnings(out, 1)) < 0) return s;
    if ((s = driver.StartTask(out)) < 0) return s;
    return driver.StartTask(in);
  }

  int32 Write(double level) {
    return driver.WriteAnalogF64(out, 1, 1, 10.0, DAQmx_Val_GroupByChannel, &level, nullptr,
                                 nullptr);
  }

  int32 Read(double &value) {
    int32 read = -1;
    return driver.ReadAnalogF64(in, 1, 10.0, DAQmx_Val_GroupByChannel, &value, 1, &read, nullptr);
  }

  // Writes the level and reads one sample after it, both expected to
  // succeed; returns the reading.
  double Step(double level) {
    double v = -99;
    EXPECT_EQ(Write(level), 0);
    EXPECT_EQ(Read(v), 0);
    return v;
  }

  std::vector<double> Steps(const std::vector<double> &levels) {
    std::vector<double> readings;
    for (double level : levels) readings.push_back(Step(level));
    return readings;
  }

  std::string ErrorText() {
    char buffer[2048];
    driver.GetExtendedErrorInfo(buffer, sizeof buffer);
    return buffer;
  }

  FakeClock clock;
  StringSink trace;
  maroquint::simdaq::Driver driver;
  TaskHandle out = nullptr;
  TaskHandle in = nullptr;
};

}  // namespace maroquint::simdaq::test
