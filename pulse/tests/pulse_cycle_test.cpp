#include "pulse_cycle.h"
#include "scripted_devices.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace maroquint::pulse {

namespace {

using Cycle = PulseCycle<ScriptedLoopback, RecordingOutlet>;

constexpr DaqStatus kDeviceError = -200279;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class PulseCycleTest : public ::testing::Test {
 protected:
  void Use(ScriptedLoopback::Input input) { loopback_ = ScriptedLoopback(journal_, input); }

  // Makes `steps` sample steps, each of which must succeed.
  void Steps(long steps) {
    for (long i = 0; i < steps; ++i) ASSERT_GE(cycle_.Step(outlet_, loopback_), 0) << "step " << i;
  }

  // Runs until the write of step `last` fails and returns Run's status.
  DaqStatus RunUntilWriteFailsAt(long last) {
    loopback_.WriteStatusAt(last, kDeviceError);
    return cycle_.Run(outlet_, loopback_);
  }

  Journal journal_;
  ScriptedLoopback loopback_{journal_, Connected()};
  RecordingOutlet outlet_{journal_};
  Cycle cycle_;
};

// The regular cycle: 30 steps at 5 V, the rest of 10000 at 0 V, a marker at
// the first step of each cycle.

TEST_F(PulseCycleTest, ConnectedLoopbackPulsesThirtyOfEveryTenThousandSteps) {
  EXPECT_EQ(RunUntilWriteFailsAt(30001), kDeviceError);

  const std::vector<double> levels = LevelsWritten(journal_);
  ASSERT_EQ(levels.size(), 30001u);
  for (long step = 1; step <= 30001; ++step) {
    const long in_cycle = (step - 1) % 10000;
    ASSERT_EQ(levels[step - 1], in_cycle < 30 ? 5.0 : 0.0) << "step " << step;
  }
  EXPECT_EQ(MarkerSteps(journal_), (std::vector<long>{1, 10001, 20001}));
}

TEST_F(PulseCycleTest, StartsHighInRiseWaitWithNoStepMade) {
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kRiseWait);
  EXPECT_EQ(cycle_.Level(), 5.0);
  EXPECT_EQ(cycle_.Count(), 0);
}

TEST_F(PulseCycleTest, OneMarkerPerCyclePushedRightAfterTheReadBeforeTheNextWrite) {
  Use(ConnectedExcept(1, 20, 0.0));
  EXPECT_EQ(RunUntilWriteFailsAt(40001), kDeviceError);

  EXPECT_EQ(MarkerSteps(journal_), (std::vector<long>{21, 10001, 20001, 30001}));
  for (std::size_t i = 0; i < journal_.size(); ++i) {
    if (journal_[i].kind != Event::Kind::kMarker) continue;
    ASSERT_GT(i, 0u);
    ASSERT_LT(i + 1, journal_.size());
    EXPECT_EQ(journal_[i - 1].kind, Event::Kind::kRead);
    EXPECT_EQ(journal_[i + 1].kind, Event::Kind::kWrite);
  }
}

// Edge detection at the threshold.

TEST_F(PulseCycleTest, ReadingOfExactlyThresholdEndsRiseWait) {
  Use([](long step, double) { return step < 10 ? 2.4999 : 2.5; });
  Steps(9);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kRiseWait);
  EXPECT_TRUE(MarkerSteps(journal_).empty());
  Steps(1);
  EXPECT_EQ(MarkerSteps(journal_), std::vector<long>{10});
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kHighHold);
}

TEST_F(PulseCycleTest, ReadingOfExactlyThresholdEndsFallWait) {
  Use([](long step, double written) {
    if (step >= 31 && step < 40) return 2.5001;
    return step == 40 ? 2.5 : written;
  });
  Steps(39);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kFallWait);
  Steps(1);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kLowHold);
  EXPECT_EQ(cycle_.Count(), 40);
}

TEST_F(PulseCycleTest, ReadingThatIsNotANumberEndsRiseWait) {
  Use([](long step, double written) { return step == 3 ? kNaN : (step < 3 ? 0.0 : written); });
  Steps(3);
  EXPECT_EQ(MarkerSteps(journal_), std::vector<long>{3});
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kHighHold);
}

TEST_F(PulseCycleTest, ReadingThatIsNotANumberEndsFallWait) {
  Use([](long step, double written) { return step == 50 ? kNaN : (step < 50 ? 5.0 : written); });
  Steps(49);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kFallWait);
  Steps(1);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kLowHold);
}

TEST_F(PulseCycleTest, WaitsWithAtLeastOneFreshReadingEvenWhenInputIsAlreadyThere) {
  Use([](long, double) { return 2.5; });
  Steps(1);
  EXPECT_EQ(MarkerSteps(journal_), std::vector<long>{1});
  Steps(29);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kFallWait);
  EXPECT_EQ(cycle_.Count(), 30);
  Steps(1);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kLowHold);
  EXPECT_EQ(cycle_.Count(), 31);
}

// Where the rise is seen late, the high window is counted from the cycle
// start, not from the rise.

TEST_F(PulseCycleTest, RiseFirstSeenAtStep45MakesNoHighHoldStepAndGoesLowAtStep46) {
  Use(ConnectedExcept(1, 44, 0.0));
  Steps(45);
  EXPECT_EQ(MarkerSteps(journal_), std::vector<long>{45});
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kFallWait);
  EXPECT_EQ(cycle_.Level(), 0.0);
  Steps(10);
  const std::vector<double> levels = LevelsWritten(journal_);
  for (long step = 1; step <= 45; ++step) EXPECT_EQ(levels[step - 1], 5.0) << "step " << step;
  for (long step = 46; step <= 55; ++step) EXPECT_EQ(levels[step - 1], 0.0) << "step " << step;
}

TEST_F(PulseCycleTest, RiseSeenAtStep29LeavesOneHighHoldStep) {
  Use(ConnectedExcept(1, 28, 0.0));
  Steps(29);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kHighHold);
  Steps(2);
  const std::vector<double> levels = LevelsWritten(journal_);
  EXPECT_EQ(levels[29], 5.0);
  EXPECT_EQ(levels[30], 0.0);
}

TEST_F(PulseCycleTest, RiseSeenAtStep30GoesLowOnTheNextStep) {
  Use(ConnectedExcept(1, 29, 0.0));
  Steps(30);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kFallWait);
  Steps(1);
  EXPECT_EQ(LevelsWritten(journal_)[30], 0.0);
}

TEST_F(PulseCycleTest, InputThatNeverRisesKeepsWritingHighWithoutMarkers) {
  Use([](long, double) { return 0.0; });
  Steps(25000);
  const std::vector<double> levels = LevelsWritten(journal_);
  for (double level : levels) ASSERT_EQ(level, 5.0);
  EXPECT_TRUE(MarkerSteps(journal_).empty());
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kRiseWait);
  EXPECT_EQ(cycle_.Count(), 25000);
}

TEST_F(PulseCycleTest, InputThatNeverFallsKeepsWritingLowWithOneMarker) {
  Use([](long, double) { return 5.0; });
  Steps(25000);
  const std::vector<double> levels = LevelsWritten(journal_);
  for (long step = 31; step <= 25000; ++step) ASSERT_EQ(levels[step - 1], 0.0);
  EXPECT_EQ(MarkerSteps(journal_), std::vector<long>{1});
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kFallWait);
}

// The cycle lasts 10000 steps unless the waits alone take that long.

TEST_F(PulseCycleTest, FallSeenAtStep9999LeavesOneLowHoldStep) {
  Use(ConnectedExcept(31, 9998, 5.0));
  Steps(9999);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kLowHold);
  Steps(2);
  const std::vector<double> levels = LevelsWritten(journal_);
  EXPECT_EQ(levels[9999], 0.0);
  EXPECT_EQ(levels[10000], 5.0);
  EXPECT_EQ(MarkerSteps(journal_), (std::vector<long>{1, 10001}));
}

TEST_F(PulseCycleTest, FallWaitReachingTenThousandSkipsLowHold) {
  Use(ConnectedExcept(31, 9999, 5.0));
  Steps(10000);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kRiseWait);
  EXPECT_EQ(cycle_.Count(), 0);
  EXPECT_EQ(cycle_.Level(), 5.0);
  Steps(1);
  EXPECT_EQ(LevelsWritten(journal_)[10000], 5.0);
  EXPECT_EQ(MarkerSteps(journal_), (std::vector<long>{1, 10001}));
}

TEST_F(PulseCycleTest, FallWaitBeyondTenThousandStartsTheNextCycleAtOnce) {
  Use(ConnectedExcept(31, 10004, 5.0));
  Steps(10005);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kRiseWait);
  Steps(1);
  EXPECT_EQ(LevelsWritten(journal_)[10005], 5.0);
  EXPECT_EQ(MarkerSteps(journal_), (std::vector<long>{1, 10006}));
}

TEST_F(PulseCycleTest, RiseWaitReachingTenThousandStillGivesOneFallWaitStep) {
  Use(ConnectedExcept(1, 9999, 0.0));
  Steps(10000);
  EXPECT_EQ(MarkerSteps(journal_), std::vector<long>{10000});
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kFallWait);
  Steps(1);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kRiseWait);
  Steps(1);
  const std::vector<double> levels = LevelsWritten(journal_);
  EXPECT_EQ(levels[10000], 0.0);
  EXPECT_EQ(levels[10001], 5.0);
}

// Statuses: the first negative one ends the cycle, positive ones are success.

TEST_F(PulseCycleTest, FailedWriteEndsTheCycleBeforeTheRead) {
  EXPECT_EQ(RunUntilWriteFailsAt(7), kDeviceError);
  ASSERT_FALSE(journal_.empty());
  EXPECT_EQ(journal_.back().kind, Event::Kind::kWrite);
  EXPECT_EQ(LevelsWritten(journal_).size(), 7u);
  EXPECT_EQ(cycle_.Count(), 6);
}

TEST_F(PulseCycleTest, FailedReadEndsTheCycleAndLeavesTheCount) {
  loopback_.ReadStatusAt(5000, kDeviceError);
  EXPECT_EQ(cycle_.Run(outlet_, loopback_), kDeviceError);
  EXPECT_EQ(journal_.back().kind, Event::Kind::kRead);
  EXPECT_EQ(cycle_.Count(), 4999);
  EXPECT_EQ(cycle_.CurrentPhase(), Phase::kLowHold);
}

TEST_F(PulseCycleTest, FailedReadAtTheRisePushesNoMarker) {
  loopback_.ReadStatusAt(1, kDeviceError);
  EXPECT_EQ(cycle_.Run(outlet_, loopback_), kDeviceError);
  EXPECT_TRUE(MarkerSteps(journal_).empty());
  EXPECT_EQ(cycle_.Count(), 0);
}

TEST_F(PulseCycleTest, WarningsAreTreatedExactlyAsSuccess) {
  EXPECT_EQ(RunUntilWriteFailsAt(20001), kDeviceError);
  const Journal quiet = journal_;

  Journal warned;
  ScriptedLoopback loopback(warned, Connected());
  loopback.WriteStatusElsewhere(200015);
  loopback.ReadStatusElsewhere(1);
  loopback.WriteStatusAt(20001, kDeviceError);
  RecordingOutlet outlet(warned);
  Cycle cycle;
  EXPECT_EQ(cycle.Run(outlet, loopback), kDeviceError);

  ASSERT_EQ(warned.size(), quiet.size());
  for (std::size_t i = 0; i < warned.size(); ++i) {
    ASSERT_EQ(warned[i].kind, quiet[i].kind) << "event " << i;
    ASSERT_EQ(warned[i].value, quiet[i].value) << "event " << i;
  }
}

TEST_F(PulseCycleTest, ReadAfterAWarnedWriteIsStillMade) {
  loopback_.WriteStatusAt(1, 200015);
  EXPECT_GT(cycle_.Step(outlet_, loopback_), -1);
  ASSERT_EQ(journal_.size(), 3u);
  EXPECT_EQ(journal_[1].kind, Event::Kind::kRead);
  EXPECT_EQ(cycle_.Count(), 1);
}

// A wait longer than 2^31 - 1 steps holds the count at its maximum instead
// of overflowing it. Runs about 2^31 steps, so its loopback does no more than
// count them.

struct CountingLoopback {
  std::int64_t step = 0;
  std::int64_t rise_at = 0;
  std::int64_t fail_write_at = 0;
  double last_level = -1.0;

  DaqStatus WriteLevel(double level) {
    ++step;
    last_level = level;
    return step == fail_write_at ? kDeviceError : 0;
  }
  maroquint::base::Result<double, DaqStatus> ReadSample() { return step == rise_at ? 5.0 : 0.0; }
};

struct CountingOutlet {
  int markers = 0;
  void PushMarker() { ++markers; }
};

TEST(PulseCycleCountTest, SaturatesAtItsMaximumInAWaitOfMoreThanTwoToTheThirtyOneSteps) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  CountingLoopback loopback;
  loopback.rise_at = kMax + 5;
  loopback.fail_write_at = kMax + 6;
  CountingOutlet outlet;
  PulseCycle<CountingLoopback, CountingOutlet> cycle;

  EXPECT_EQ(cycle.Run(outlet, loopback), kDeviceError);
  EXPECT_EQ(outlet.markers, 1);
  EXPECT_EQ(cycle.Count(), kMax);
  EXPECT_EQ(cycle.CurrentPhase(), Phase::kFallWait);
  EXPECT_EQ(loopback.last_level, 0.0);

  ASSERT_GE(cycle.Step(outlet, loopback), 0);
  EXPECT_EQ(cycle.CurrentPhase(), Phase::kRiseWait);
  EXPECT_EQ(cycle.Count(), 0);
  EXPECT_EQ(cycle.Level(), 5.0);
}

}  // namespace

}  // namespace maroquint::pulse
