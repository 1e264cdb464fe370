#include "core/time_sync.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "transcript.h"

namespace maroquint::lsl::core {
namespace {

std::string Reply(int wave, double t0, double t1, double t2) {
  char buf[128];
  std::snprintf(buf, sizeof buf, " %d %.16g %.16g %.16g", wave, t0, t1, t2);
  return buf;
}

TEST(TimeSyncRound, ReplaysTheRecordedRound) {
  const auto t05 = test::ReadTranscript("05_timesync.json");
  const auto probes = test::TranscriptItems(t05, "probes");
  const std::string first = test::TranscriptBytes(probes[0], "", "request");
  const double start = std::stod(first.substr(first.find(' ') + 1));
  TimeSyncRound round(1804289383, start);
  for (const auto &p : probes) {
    const std::string request = test::TranscriptBytes(p, "", "request");
    const double t0 = std::stod(request.substr(request.find(' ') + 1));
    ASSERT_TRUE(round.NextProbeTime());
    EXPECT_NEAR(*round.NextProbeTime(), t0, 0.01);
    EXPECT_EQ(round.TakeProbe(t0), request);
  }
  EXPECT_FALSE(round.NextProbeTime());
  for (const auto &p : probes) {
    const std::string request = test::TranscriptBytes(p, "", "request");
    const double t0 = std::stod(request.substr(request.find(' ') + 1));
    const double delay =
        test::TranscriptNumber(p, "", "t_reply") - test::TranscriptNumber(p, "", "t_sent");
    round.OnReply(test::TranscriptBytes(p, "", "reply"), t0 + delay);
  }
  EXPECT_NEAR(round.EvaluateAt() - start, 0.640, 1e-9);
  const auto estimate = round.Evaluate();
  ASSERT_TRUE(estimate);
  // The capture saw each reply a little before liblsl's inlet read it, so the
  // two agree to within the winning probe's round trip.
  EXPECT_GT(estimate->rtt, 0.0);
  EXPECT_LT(estimate->rtt, 0.0001);
  // liblsl's inlet reported its correction for this round in the capture.
  const auto reported_at = t05.find("time_correction=");
  ASSERT_NE(reported_at, std::string::npos);
  const double reported = std::stod(t05.substr(reported_at + 16));
  EXPECT_NEAR(estimate->correction, reported, estimate->rtt);
}

// A peer whose clock runs `offset` ahead, answering after `out` and `back` seconds.
void Answer(TimeSyncRound &round, int wave, double t0, double offset, double out, double back,
            double hold = 0.0001) {
  const double t1 = t0 + out + offset;
  const double t2 = t1 + hold;
  round.OnReply(Reply(wave, t0, t1, t2), t2 - offset + back);
}

TEST(TimeSyncRound, TheProbeWithTheSmallestRoundTripWins) {
  TimeSyncRound round(5, 100.0);
  const double delays[8] = {0.004, 0.003, 0.0002, 0.005, 0.002, 0.006, 0.007, 0.001};
  for (int k = 0; k < 8; ++k) {
    const double now = *round.NextProbeTime();
    EXPECT_DOUBLE_EQ(now, 100.0 + 0.064 * k);
    round.TakeProbe(now);
    // Asymmetric delays skew the offset by half their difference.
    Answer(round, 5, now, 42.0, delays[k], delays[k] * 3);
  }
  const auto e = round.Evaluate();
  ASSERT_TRUE(e);
  EXPECT_NEAR(e->rtt, 0.0008, 1e-9);
  EXPECT_NEAR(e->correction, -42.0 + 0.0002, 1e-9);
  EXPECT_NEAR(e->remote_time, 100.128 + 0.0002 + 42.0 + 0.00005, 1e-9);
}

TEST(TimeSyncRound, NeedsSixAnswersOfItsOwnWave) {
  TimeSyncRound round(5, 0.0);
  for (int k = 0; k < 8; ++k) {
    const double now = *round.NextProbeTime();
    round.TakeProbe(now);
    if (k < 5)
      Answer(round, 5, now, 1.0, 0.001, 0.001);
    else
      Answer(round, 6, now, 1.0, 0.001, 0.001);
  }
  EXPECT_FALSE(round.Evaluate());
  // An echo that matches no probe of the round counts for nothing either.
  round.OnReply(Reply(5, 0.3, 1.3, 1.3), 0.31);
  EXPECT_FALSE(round.Evaluate());
  Answer(round, 5, 0.064 * 5, 1.0, 0.001, 0.001);
  const auto e = round.Evaluate();
  ASSERT_TRUE(e);
  EXPECT_NEAR(e->correction, -1.0, 1e-9);
}

TEST(TimeSyncRound, SettingsShapeTheRound) {
  TimeSyncSettings s;
  s.probe_count = 3;
  s.probe_interval = 0.1;
  s.probe_max_rtt = 0.5;
  s.min_probes = 1;
  TimeSyncRound round(1, 10.0, s);
  EXPECT_DOUBLE_EQ(round.EvaluateAt(), 10.8);
  EXPECT_DOUBLE_EQ(round.NextRoundAt(), 12.0) << "TimeUpdateInterval's default";
  const double now = *round.NextProbeTime();
  round.TakeProbe(now);
  Answer(round, 1, now, -3.0, 0.01, 0.01);
  EXPECT_NEAR(round.Evaluate()->correction, 3.0, 1e-9);
}

TEST(TimeSyncRound, TheNextRoundStartsAnUpdateIntervalLaterButNotBeforeTheEvaluation) {
  TimeSyncSettings s;
  s.update_interval = 5.0;
  EXPECT_DOUBLE_EQ(TimeSyncRound(1, 10.0, s).NextRoundAt(), 15.0);
  s.update_interval = 0.0;
  const TimeSyncRound quick(1, 10.0, s);
  EXPECT_DOUBLE_EQ(quick.NextRoundAt(), quick.EvaluateAt());
}

TEST(TimeSyncRound, BurstsOfProbesKeepTheQuickestOfAll) {
  TimeSyncSettings s;
  s.probe_count = 2;
  s.burst = 3;
  s.min_probes = 1;
  TimeSyncRound round(9, 50.0, s);
  EXPECT_DOUBLE_EQ(round.EvaluateAt(), 50.0 + 0.128 + 2 * 0.064);
  // The first of each burst leaves late (its t0 early by 30 us); the
  // others leave as quickly as the reply comes back. Probes of a burst are
  // half a microsecond apart.
  for (int slot = 0; slot < 2; ++slot) {
    for (int k = 0; k < 3; ++k) {
      ASSERT_TRUE(round.NextProbeTime());
      EXPECT_DOUBLE_EQ(*round.NextProbeTime(), 50.0 + 0.064 * slot);
      const double t0 = 50.0 + 0.064 * slot + 0.5e-6 * k;
      round.TakeProbe(t0);
      const double late = k == 0 ? 30e-6 : 0.0;
      Answer(round, 9, t0, 7.0, 5e-6 + late + 1e-6 * slot, 5e-6 + 1e-6 * slot, 20e-6);
    }
  }
  EXPECT_FALSE(round.NextProbeTime());
  const auto e = round.Evaluate();
  ASSERT_TRUE(e);
  EXPECT_NEAR(e->rtt, 10e-6, 1e-9);
  EXPECT_NEAR(e->correction, -7.0, 1e-9);
}

TEST(TimeSyncRound, ARoundTripBelowZeroIsNoMeasurement) {
  TimeSyncSettings s;
  s.probe_count = 2;
  s.min_probes = 1;
  TimeSyncRound round(4, 20.0, s);
  // The outlet's arrival stamp 1.5 ms early: the probe would look quicker
  // than light and skew the offset by 0.75 ms.
  round.TakeProbe(20.0);
  round.OnReply(Reply(4, 20.0, 20.0 + 2e-6 - 1.5e-3, 20.0 + 50e-6), 20.0 + 54e-6);
  EXPECT_FALSE(round.Evaluate());
  round.TakeProbe(20.064);
  Answer(round, 4, 20.064, 0.0, 2e-6, 2e-6, 50e-6);
  const auto e = round.Evaluate();
  ASSERT_TRUE(e);
  EXPECT_NEAR(e->correction, 0.0, 1e-9);
  EXPECT_NEAR(e->rtt, 4e-6, 1e-9);
}

}  // namespace
}  // namespace maroquint::lsl::core
