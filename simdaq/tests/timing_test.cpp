// The sample clock: in virtual mode nothing waits; in realtime mode reads
// wait for their sample, a change of level starts from the present and,
// when strict, lateness is reported.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

using maroquint::simdaq::test::Harness;
using maroquint::simdaq::test::Nanos;

constexpr Nanos kPeriod = 100000;  // 10 kHz

TEST(VirtualClock, NothingWaitsAndEachReadSeesItsWrite) {
  Harness h("clock=virtual");
  ASSERT_EQ(h.Open(), 0);
  const Nanos start = h.clock.now;
  std::vector<double> levels;
  for (int i = 0; i < 1000; ++i) levels.push_back(i % 3 == 0 ? 5.0 : (i % 3 == 1 ? 0.0 : -2.5));
  EXPECT_EQ(h.Steps(levels), levels);
  EXPECT_TRUE(h.clock.sleeps.empty());
  EXPECT_EQ(h.clock.now, start);
}

TEST(VirtualClock, StrictNeverReportsLateness) {
  Harness h("clock=virtual;strict=1");
  ASSERT_EQ(h.Open(), 0);
  h.clock.now += 1000000000;
  EXPECT_EQ(h.Step(5.0), 5.0);
}

// The hold is real time on either clock, once per process, before the first
// write or read.
TEST(Hold, FirstReadWaitsOnEitherClock) {
  for (const char *clock : {"virtual", "realtime"}) {
    Harness h(std::string("hold=2.5;clock=") + clock);
    ASSERT_EQ(h.Open(), 0);
    const Nanos start = h.clock.now;
    EXPECT_EQ(h.Steps({5.0, 0.0, 5.0}), (std::vector<double>{5.0, 0.0, 5.0}));
    ASSERT_FALSE(h.clock.sleeps.empty()) << clock;
    EXPECT_EQ(h.clock.sleeps[0], start + 2500000000) << clock;
    // The first write comes after the hold, then one sample a period.
    const Nanos after_hold = start + 2500000000;
    const std::vector<Nanos> expected_rest =
        std::string(clock) == "virtual"
            ? std::vector<Nanos>{}
            : std::vector<Nanos>{after_hold + kPeriod, after_hold + 2 * kPeriod,
                                 after_hold + 3 * kPeriod};
    EXPECT_EQ(std::vector<Nanos>(h.clock.sleeps.begin() + 1, h.clock.sleeps.end()), expected_rest)
        << clock;
    double v = 0;
    ASSERT_EQ(h.driver.StopTask(h.in), 0);
    ASSERT_EQ(h.driver.StartTask(h.in), 0);
    const Nanos restart = h.clock.now;
    ASSERT_EQ(h.Read(v), 0);
    EXPECT_LE(h.clock.now - restart, kPeriod) << clock << ": no second hold";
  }
}

TEST(RealtimeClock, ReadWaitsForTheNextTick) {
  Harness h("clock=realtime");
  ASSERT_EQ(h.Open(), 0);
  const Nanos t0 = h.clock.now;
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(h.Step(k), k);
    EXPECT_EQ(h.clock.now, t0 + (k + 1) * kPeriod);
  }
  EXPECT_EQ(h.clock.sleeps.size(), 5u);
}

TEST(RealtimeClock, ReadTimesOut) {
  Harness h("");
  TaskHandle in = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &in), 0);
  ASSERT_EQ(h.driver.CreateAIVoltageChan(in, "Dev1/ai0", "", DAQmx_Val_RSE, -10, 10,
                                         DAQmx_Val_Volts, nullptr),
            0);
  ASSERT_EQ(
      h.driver.CfgSampClkTiming(in, "", 0.05, DAQmx_Val_Falling, DAQmx_Val_HWTimedSinglePoint, 1),
      0);
  ASSERT_EQ(h.driver.StartTask(in), 0);
  const Nanos t0 = h.clock.now;
  double v = 0;
  int32 n = -1;
  EXPECT_EQ(h.driver.ReadAnalogF64(in, 1, 0.0, 0, &v, 1, &n, nullptr), -200284);
  EXPECT_EQ(h.clock.now, t0) << "a zero timeout does not wait";
  EXPECT_EQ(h.driver.ReadAnalogF64(in, 1, 10.0, 0, &v, 1, &n, nullptr), -200284);
  EXPECT_EQ(h.clock.now, t0 + 10000000000);
  EXPECT_EQ(n, 0);
  EXPECT_NE(h.ErrorText().find("Status Code: -200284"), std::string::npos);
  EXPECT_EQ(h.driver.ReadAnalogF64(in, 1, -1.0, 0, &v, 1, &n, nullptr), 0);
  EXPECT_EQ(h.clock.now, t0 + 20000000000) << "waits for ever for the tick 20 s after start";
}

// While the level holds, a reader that fell behind gets its overdue samples
// at once and keeps the clock's rate.
TEST(RealtimeClock, NonStrictLateReaderCatchesUp) {
  Harness h("");
  ASSERT_EQ(h.Open(), 0);
  const Nanos t0 = h.clock.now;
  h.Step(1.0);
  h.clock.now += 5 * kPeriod + 1234;  // the process was not scheduled for a while
  const Nanos late = h.clock.now;
  for (int k = 1; k <= 5; ++k) {
    h.Step(1.0);
    EXPECT_EQ(h.clock.now, late) << "overdue sample " << k << " is there at once";
  }
  h.Step(1.0);
  EXPECT_EQ(h.clock.now, t0 + 7 * kPeriod) << "back on the clock's own ticks";
}

// A write goes out at the next tick however late it comes, never queued, and
// the read after a change of level waits for the sample that shows it,
// skipping any overdue ones: the wire and the readings keep to the caller's time.
TEST(RealtimeClock, NonStrictChangeOfLevelStartsFromThePresent) {
  for (const Nanos stall : {5 * kPeriod + 1234, Nanos{3000000000}}) {
    Harness h("");
    ASSERT_EQ(h.Open(), 0);
    const Nanos t0 = h.clock.now;
    h.Step(1.0);
    h.clock.now += stall;
    const Nanos next_tick = t0 + (stall / kPeriod + 2) * kPeriod;
    for (int k = 2; k <= 4; ++k) {
      EXPECT_EQ(h.Step(k), k);
      EXPECT_EQ(h.clock.now, next_tick + (k - 2) * kPeriod) << "stall " << stall << ", step " << k;
    }
  }
}

TEST(RealtimeClock, NonStrictLongStallSlipsTheClock) {
  Harness h("");
  ASSERT_EQ(h.Open(), 0);
  h.Step(1.0);
  h.clock.now += 3000000000;
  const Nanos late = h.clock.now;
  h.Step(1.0);
  EXPECT_EQ(h.clock.now, late);
  h.Step(1.0);
  EXPECT_EQ(h.clock.now, late + kPeriod) << "the next sample a period after the late read";
}

TEST(RealtimeClock, StrictLateWriteWarnsLateReadFails) {
  Harness h("strict=1");
  ASSERT_EQ(h.Open(), 0);
  double v = 0;
  h.Step(1.0);
  h.clock.now += 2 * kPeriod + kPeriod / 2;
  EXPECT_EQ(h.Write(2.0), 209801) << "late errors of the output task are warnings";
  EXPECT_NE(h.ErrorText().find(
                "DAQmx Write did not complete before the arrival of the next sample clock"),
            std::string::npos);
  EXPECT_EQ(h.Read(v), -209800);
  EXPECT_NE(h.ErrorText().find("Status Code: -209800"), std::string::npos);
}

TEST(RealtimeClock, StrictLateWriteIsAnErrorWithoutTheWarningSetting) {
  Harness h("strict=1");
  TaskHandle out = nullptr;
  ASSERT_EQ(h.driver.CreateTask("", &out), 0);
  ASSERT_EQ(h.driver.CreateAOVoltageChan(out, "Dev1/ao0", "", -10, 10, DAQmx_Val_Volts, ""), 0);
  ASSERT_EQ(
      h.driver.CfgSampClkTiming(out, "", 10000, DAQmx_Val_Rising, DAQmx_Val_HWTimedSinglePoint, 1),
      0);
  ASSERT_EQ(h.driver.StartTask(out), 0);
  double level = 1.0;
  ASSERT_EQ(h.driver.WriteAnalogF64(out, 1, 1, 10, 0, &level, nullptr, nullptr), 0);
  h.clock.now += kPeriod;
  EXPECT_EQ(h.driver.WriteAnalogF64(out, 1, 1, 10, 0, &level, nullptr, nullptr), 0)
      << "one write per period is on time";
  h.clock.now += 3 * kPeriod;
  EXPECT_EQ(h.driver.WriteAnalogF64(out, 1, 1, 10, 0, &level, nullptr, nullptr), -209801);
}

TEST(RealtimeClock, StrictLateReadIsAWarningWhenTheInputTaskAsksForIt) {
  Harness h("strict=1");
  ASSERT_EQ(h.Open(), 0);
  double v = 0;
  ASSERT_EQ(h.driver.StopTask(h.in), 0);
  ASSERT_EQ(h.driver.SetRealTimeConvLateErrorsToWarnings(h.in, 1), 0);
  ASSERT_EQ(h.driver.StartTask(h.in), 0);
  h.Step(1.0);
  h.clock.now += 3 * kPeriod;
  ASSERT_EQ(h.Write(2.0), 209801);
  EXPECT_EQ(h.Read(v), 209800);
  EXPECT_EQ(v, 2.0) << "a warning still hands the sample over";
}

TEST(RealtimeClock, StrictCountsLatenessFromTheFirstRead) {
  Harness h("strict=1");
  ASSERT_EQ(h.Open(), 0);
  h.clock.now += 10 * kPeriod;  // a slow start
  const Nanos first = h.clock.now;
  h.Step(1.0);
  EXPECT_EQ(h.clock.now, first + kPeriod) << "the sample that shows the write";
  h.Step(2.0);
  EXPECT_EQ(h.clock.now, first + 2 * kPeriod);
}

TEST(RealtimeClock, StrictOnTimeLoopHasNoLateness) {
  Harness h("strict=1");
  ASSERT_EQ(h.Open(), 0);
  for (int k = 0; k < 100; ++k) {
    h.clock.now += kPeriod / 3;  // the caller's own work between calls
    ASSERT_EQ(h.Step(5.0), 5.0) << k;
  }
}

}  // namespace

// The gate holds the first start, write or read of the process, however long
// it stays shut, and nothing after; the set-up before it does not wait.
TEST(Gate, FirstStartWaitsAndTheSampleClockStartsAfterIt) {
  for (const char *clock : {"virtual", "realtime"}) {
    maroquint::simdaq::test::FakeGate gate;
    Harness h(std::string("gate=/unused;clock=") + clock, nullptr, nullptr, &gate);
    gate.clock = &h.clock;
    gate.shut_for = 7000000000;
    const Nanos start = h.clock.now;
    ASSERT_EQ(h.driver.CreateTask("", &h.out), 0);
    EXPECT_EQ(gate.waits, 0) << clock;
    h.driver.ClearTask(h.out);
    ASSERT_EQ(h.Open(), 0);
    EXPECT_EQ(gate.waits, 1) << clock;
    EXPECT_EQ(h.Steps({5.0, 0.0}), (std::vector<double>{5.0, 0.0})) << clock;
    EXPECT_EQ(gate.waits, 1) << clock;
    const std::vector<Nanos> expected =
        std::string(clock) == "virtual"
            ? std::vector<Nanos>{}
            : std::vector<Nanos>{start + 7000000000 + kPeriod, start + 7000000000 + 2 * kPeriod};
    EXPECT_EQ(h.clock.sleeps, expected) << clock;
  }
}

TEST(Gate, AFaultOfTheFirstCallAfterItWaitsToo) {
  maroquint::simdaq::test::FakeGate gate;
  Harness h("clock=virtual;gate=/unused;fault=DAQmxStartTask#1:-200088:Stop.", nullptr, nullptr,
            &gate);
  EXPECT_EQ(h.Open(), -200088);
  EXPECT_EQ(gate.waits, 1);
}

TEST(Gate, UnnamedItHoldsNothing) {
  maroquint::simdaq::test::FakeGate gate;
  Harness h("clock=virtual", nullptr, nullptr, &gate);
  ASSERT_EQ(h.Open(), 0);
  EXPECT_EQ(h.Steps({5.0}), std::vector<double>{5.0});
  EXPECT_EQ(gate.waits, 0);
}
