#include "pulse_cycle.h"
#include "scripted_devices.h"

#include <gtest/gtest.h>

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

// What the cycle does over `steps` steps on `input`: its phase, count and
// the level of its next write at the start, after every step that changes
// the phase or the level or pushes a marker, and after the last step. Each
// step must write the level it was left with.
std::string History(ScriptedLoopback::Input input, long steps) {
  static const char *const kPhases[] = {"RiseWait", "HighHold", "FallWait", "LowHold"};
  Journal journal;
  ScriptedLoopback loopback(journal, std::move(input));
  RecordingOutlet outlet(journal);
  Cycle cycle;
  const auto phase = [&cycle] { return kPhases[static_cast<int>(cycle.CurrentPhase())]; };
  const auto state = [&] {
    return base::Format("%s/%d %gV", phase(), static_cast<int>(cycle.Count()), cycle.Level());
  };
  std::string history = "0: " + state();
  for (long step = 1; step <= steps; ++step) {
    const char *const before = phase();
    const double level = cycle.Level();
    const std::size_t write = journal.size();
    if (cycle.Step(outlet, loopback) < 0) return history + " | " + std::to_string(step) + " failed";
    if (journal[write].value != level)
      return history + " | " + std::to_string(step) + " wrote " +
             std::to_string(journal[write].value);
    const bool marker = journal.back().kind == Event::Kind::kMarker;
    if (marker || phase() != before || cycle.Level() != level || step == steps)
      history += " | " + std::to_string(step) + ": " + (marker ? "marker " : "") + state();
  }
  return history;
}

TEST(PulseCycleHistory, FollowsTheInput) {
  const struct {
    const char *what;
    ScriptedLoopback::Input input;
    long steps;
    std::string history;
  } cases[] = {
      // Edge detection at the threshold: 2.5 V and a reading that is not a
      // number end either wait.
      {"exactly the threshold ends the rise wait",
       [](long step, double) { return step < 10 ? 2.4999 : 2.5; }, 10,
       "0: RiseWait/0 5V | 10: marker HighHold/10 5V"},
      {"exactly the threshold ends the fall wait",
       [](long step, double written) { return step == 40  ? 2.5
                                              : step > 30 ? 2.5001
                                                          : written; },
       40, "0: RiseWait/0 5V | 1: marker HighHold/1 5V | 30: FallWait/30 0V | 40: LowHold/40 0V"},
      {"not a number ends the rise wait",
       [](long step, double written) { return step == 3 ? kNaN : (step < 3 ? 0.0 : written); }, 3,
       "0: RiseWait/0 5V | 3: marker HighHold/3 5V"},
      {"not a number ends the fall wait",
       [](long step, double written) { return step == 50 ? kNaN : (step < 50 ? 5.0 : written); },
       50, "0: RiseWait/0 5V | 1: marker HighHold/1 5V | 30: FallWait/30 0V | 50: LowHold/50 0V"},
      {"each wait takes a fresh reading, though the input is already there",
       [](long, double) { return 2.5; }, 31,
       "0: RiseWait/0 5V | 1: marker HighHold/1 5V | 30: FallWait/30 0V | 31: LowHold/31 0V"},
      // A rise seen late: the high window counts from the cycle start, not
      // from the rise.
      {"a rise at step 45 makes no high hold step", ConnectedExcept(1, 44, 0.0), 55,
       "0: RiseWait/0 5V | 45: marker FallWait/45 0V | 46: LowHold/46 0V | 55: LowHold/55 0V"},
      {"a rise at step 29 leaves one high hold step", ConnectedExcept(1, 28, 0.0), 31,
       "0: RiseWait/0 5V | 29: marker HighHold/29 5V | 30: FallWait/30 0V | 31: LowHold/31 0V"},
      {"a rise at step 30 goes low on the next step", ConnectedExcept(1, 29, 0.0), 31,
       "0: RiseWait/0 5V | 30: marker FallWait/30 0V | 31: LowHold/31 0V"},
      {"an input that never rises", [](long, double) { return 0.0; }, 25000,
       "0: RiseWait/0 5V | 25000: RiseWait/25000 5V"},
      {"an input that never falls", [](long, double) { return 5.0; }, 25000,
       "0: RiseWait/0 5V | 1: marker HighHold/1 5V | 30: FallWait/30 0V | 25000: FallWait/25000 "
       "0V"},
      // The cycle lasts 10000 steps unless the waits alone take that long.
      {"a fall at step 9999 leaves one low hold step", ConnectedExcept(31, 9998, 5.0), 10001,
       "0: RiseWait/0 5V | 1: marker HighHold/1 5V | 30: FallWait/30 0V | 9999: LowHold/9999 0V | "
       "10000: RiseWait/0 5V | 10001: marker HighHold/1 5V"},
      {"a fall wait reaching 10000 skips the low hold", ConnectedExcept(31, 9999, 5.0), 10001,
       "0: RiseWait/0 5V | 1: marker HighHold/1 5V | 30: FallWait/30 0V | 10000: RiseWait/0 5V | "
       "10001: marker HighHold/1 5V"},
      {"a fall wait beyond 10000 starts the next cycle at once", ConnectedExcept(31, 10004, 5.0),
       10006,
       "0: RiseWait/0 5V | 1: marker HighHold/1 5V | 30: FallWait/30 0V | 10005: RiseWait/0 5V | "
       "10006: marker HighHold/1 5V"},
      {"a rise wait reaching 10000 still gives one fall wait step", ConnectedExcept(1, 9999, 0.0),
       10002,
       "0: RiseWait/0 5V | 10000: marker FallWait/10000 0V | 10001: RiseWait/0 5V | "
       "10002: marker HighHold/1 5V"},
  };
  for (const auto &c : cases) EXPECT_EQ(History(c.input, c.steps), c.history) << c.what;
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
