#include "interval_statistics.h"

#include <gtest/gtest.h>

#include <cmath>

namespace maroquint::monitor {
namespace {

TEST(MissedPulses, CountsWholePeriodsBeyondOneAndAHalf) {
  EXPECT_EQ(MissedPulses(1.0, 1.0), 0);
  EXPECT_EQ(MissedPulses(1.5, 1.0), 0);
  EXPECT_EQ(MissedPulses(1.51, 1.0), 1);
  EXPECT_EQ(MissedPulses(2.0, 1.0), 1);
  EXPECT_EQ(MissedPulses(2.49, 1.0), 1);
  EXPECT_EQ(MissedPulses(2.51, 1.0), 2);
  EXPECT_EQ(MissedPulses(6.0, 1.0), 5);
  EXPECT_EQ(MissedPulses(86400.0, 1.0), 86399);
  EXPECT_EQ(MissedPulses(1.0, 0.5), 1);
  EXPECT_EQ(MissedPulses(3.1, 0.5), 5);
  EXPECT_EQ(MissedPulses(-3.0, 1.0), 0);
  EXPECT_EQ(MissedPulses(std::nan(""), 1.0), 0);
}

TEST(IntervalStatistics, NoIntervalBeforeTheSecondMarker) {
  IntervalStatistics statistics(1.0);
  EXPECT_EQ(statistics.Summarize().markers, 0);
  const auto first = statistics.AddMarker(100.0);
  EXPECT_EQ(first.index, 1);
  EXPECT_FALSE(first.interval.has_value());
  const IntervalSummary summary = statistics.Summarize();
  EXPECT_EQ(summary.markers, 1);
  EXPECT_EQ(summary.intervals, 0);
  EXPECT_EQ(summary.missed_pulses, 0);
}

TEST(IntervalStatistics, FiguresOfKnownIntervals) {
  IntervalStatistics statistics(1.0);
  // Intervals 0.9, 1.1, 1.0, 1.2: mean 1.05, sample variance 0.05 / 3.
  double t = 1000.0;
  statistics.AddMarker(t);
  for (double interval : {0.9, 1.1, 1.0, 1.2}) {
    t += interval;
    const auto step = statistics.AddMarker(t);
    ASSERT_TRUE(step.interval.has_value());
    EXPECT_NEAR(*step.interval, interval, 1e-9);
    EXPECT_EQ(step.missed, 0);
  }
  const IntervalSummary s = statistics.Summarize();
  EXPECT_EQ(s.markers, 5);
  EXPECT_EQ(s.intervals, 4);
  EXPECT_NEAR(s.mean, 1.05, 1e-9);
  EXPECT_NEAR(s.min, 0.9, 1e-9);
  EXPECT_NEAR(s.max, 1.2, 1e-9);
  EXPECT_NEAR(s.std_dev, std::sqrt(0.05 / 3.0), 1e-9);
  EXPECT_NEAR(s.p99_period_deviation, 0.2, 1e-9);
}

TEST(IntervalStatistics, OneIntervalHasNoSpread) {
  IntervalStatistics statistics(1.0);
  statistics.AddMarker(5.0);
  statistics.AddMarker(6.25);
  const IntervalSummary s = statistics.Summarize();
  EXPECT_EQ(s.std_dev, 0.0);
  EXPECT_NEAR(s.p99_period_deviation, 0.25, 1e-12);
}

TEST(IntervalStatistics, NinetyNinthPercentileIsTheNearestRank) {
  // 200 intervals: 198 exact, one 10 ms late, one 50 ms late. The 99th
  // percentile of 200 values is the 198th smallest: 0.
  IntervalStatistics statistics(1.0);
  double t = 0.0;
  statistics.AddMarker(t);
  for (int i = 0; i < 200; ++i) {
    t += i == 50 ? 1.010 : i == 150 ? 1.050 : 1.0;
    statistics.AddMarker(t);
  }
  EXPECT_NEAR(statistics.Summarize().p99_period_deviation, 0.0, 1e-9);
  // Three outliers in 201: the 199th smallest is now the smallest outlier.
  t += 0.980;
  statistics.AddMarker(t);
  EXPECT_NEAR(statistics.Summarize().p99_period_deviation, 0.010, 1e-9);
}

TEST(IntervalStatistics, GapsRecordWhereAndHowManyPulsesWereMissed) {
  IntervalStatistics statistics(1.0);
  statistics.AddMarker(10.0);
  statistics.AddMarker(11.0);
  const auto gap = statistics.AddMarker(14.0);
  EXPECT_EQ(gap.missed, 2);
  statistics.AddMarker(15.0);
  statistics.AddMarker(17.0);
  const IntervalSummary s = statistics.Summarize();
  EXPECT_EQ(s.missed_pulses, 3);
  ASSERT_EQ(s.gaps.size(), 2u);
  EXPECT_EQ(s.gaps[0].index, 3);
  EXPECT_EQ(s.gaps[0].timestamp, 14.0);
  EXPECT_EQ(s.gaps[0].interval, 3.0);
  EXPECT_EQ(s.gaps[0].missed, 2);
  EXPECT_EQ(s.gaps[1].index, 5);
  EXPECT_EQ(s.gaps[1].missed, 1);
  // Gaps are not jitter: the figures are those of the regular intervals.
  EXPECT_EQ(s.intervals, 4);
  EXPECT_EQ(s.regular, 2);
  EXPECT_EQ(s.GapIntervals(), 2);
  EXPECT_EQ(s.max, 1.0);
  EXPECT_EQ(s.p99_period_deviation, 0.0);
}

// A wire cut for 3 s: the held cycle's marker closes a gap of 3.5 s, the
// program's next cycle follows 3 ms later, then the period goes on.
TEST(IntervalStatistics, TheCatchUpAfterAGapIsNeitherJitterNorAnExtraMarker) {
  IntervalStatistics statistics(1.0);
  double t = 100.0;
  statistics.AddMarker(t);
  statistics.AddMarker(t += 1.0001);
  const auto gap = statistics.AddMarker(t += 3.5037);
  EXPECT_EQ(gap.kind, IntervalKind::kGap);
  EXPECT_EQ(gap.missed, 3);
  const auto catch_up = statistics.AddMarker(t += 0.003);
  EXPECT_EQ(catch_up.kind, IntervalKind::kCatchUp);
  EXPECT_EQ(catch_up.missed, 0);
  EXPECT_EQ(statistics.AddMarker(t += 0.9999).kind, IntervalKind::kRegular);
  // A second short interval is an extra marker, whatever came before.
  EXPECT_EQ(statistics.AddMarker(t += 0.2).kind, IntervalKind::kEarly);
  const IntervalSummary s = statistics.Summarize();
  EXPECT_EQ(s.missed_pulses, 3);
  EXPECT_EQ(s.catch_up, 1);
  EXPECT_EQ(s.early, 1);
  EXPECT_EQ(s.regular, 2);
  EXPECT_NEAR(s.mean, 1.0, 1e-9);
  EXPECT_NEAR(s.p99_period_deviation, 0.0001, 1e-9);
}

TEST(IntervalStatistics, AnEarlyMarkerWithoutAGapBeforeItIsExtra) {
  IntervalStatistics statistics(1.0);
  statistics.AddMarker(10.0);
  EXPECT_EQ(statistics.AddMarker(10.003).kind, IntervalKind::kEarly);
  EXPECT_EQ(statistics.Summarize().catch_up, 0);
  // After a first marker that ended a silence of missed pulses, it is a catch-up.
  IntervalStatistics after_silence(1.0);
  after_silence.AddMarker(10.0);
  after_silence.FirstEndedASilence();
  EXPECT_EQ(after_silence.AddMarker(10.003).kind, IntervalKind::kCatchUp);
}

TEST(IntervalStatistics, AnIntervalAcrossARestartCountsItsMissedPulsesButNoJitter) {
  IntervalStatistics statistics(1.0);
  statistics.AddMarker(10.0);
  statistics.AddMarker(11.0);
  EXPECT_NEAR(*statistics.IntervalTo(12.3), 1.3, 1e-12);
  const auto quick = statistics.AddMarker(12.3, true);
  EXPECT_EQ(quick.kind, IntervalKind::kRestart);
  EXPECT_EQ(quick.missed, 0);
  const auto slow = statistics.AddMarker(16.3, true);
  EXPECT_EQ(slow.kind, IntervalKind::kRestart);
  EXPECT_EQ(slow.missed, 3);
  // Nothing catches up after a restart.
  EXPECT_EQ(statistics.AddMarker(16.303).kind, IntervalKind::kEarly);
  const IntervalSummary s = statistics.Summarize();
  EXPECT_EQ(s.restart, 2);
  EXPECT_EQ(s.regular, 1);
  EXPECT_EQ(s.early, 1);
  EXPECT_EQ(s.missed_pulses, 3);
  EXPECT_EQ(s.p99_period_deviation, 0.0);
}

TEST(IntervalStatistics, StaysPreciseOverALongRunOfLargeTimeStamps) {
  // A day of markers one second and 10 µs apart, on a clock already far
  // from zero: the spread must stay near zero, not drown in rounding.
  IntervalStatistics statistics(1.0);
  const double start = 1.0e6;
  for (int i = 0; i < 86400; ++i) statistics.AddMarker(start + i * 1.00001);
  const IntervalSummary s = statistics.Summarize();
  EXPECT_NEAR(s.mean, 1.00001, 1e-9);
  EXPECT_LT(s.std_dev, 1e-8);
  EXPECT_NEAR(s.p99_period_deviation, 1e-5, 1e-8);
}

TEST(CorrectionTrack, KeepsLastAndRangeOfCorrectionAndRoundTrip) {
  CorrectionTrack track;
  EXPECT_EQ(track.Count(), 0);
  track.Add(0.002, 0.00009);
  track.Add(-0.001, 0.00004);
  track.Add(0.0005, 0.00007);
  EXPECT_EQ(track.Count(), 3);
  EXPECT_EQ(track.Last(), 0.0005);
  EXPECT_EQ(track.Min(), -0.001);
  EXPECT_EQ(track.Max(), 0.002);
  EXPECT_EQ(track.LastRoundTrip(), 0.00007);
  EXPECT_EQ(track.MinRoundTrip(), 0.00004);
  EXPECT_EQ(track.MaxRoundTrip(), 0.00009);
}

}  // namespace
}  // namespace maroquint::monitor
