#include "clock_sync.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <random>

namespace maroquint::xdf {
namespace {

// A sender whose clock is `offset` behind the recorder's at sender time 0
// and runs `drift` slow: recorder = sender + offset + drift × sender.
Stream DriftingStream(double offset, double drift, double start) {
  Stream stream;
  for (int i = 0; i <= 60; ++i) {
    const double sender = start + 5.0 * i;
    stream.clock_offsets.push_back({sender + offset + drift * sender, offset + drift * sender});
  }
  for (int i = 0; i < 300; ++i) stream.time_stamps.push_back(start - 5.0 + i);
  return stream;
}

TEST(ClockSync, RecoversOffsetAndDrift) {
  // Clocks hours apart, 100 ppm: the line must be over the sender's time.
  Stream stream = DriftingStream(-7200.0, 100e-6, 50000.0);
  // A few measurements disturbed by milliseconds must not tilt the line.
  stream.clock_offsets[10].value += 0.004;
  stream.clock_offsets[11].value -= 0.003;
  stream.clock_offsets[40].value += 0.010;
  const std::vector<double> synced = SynchronizedTimeStamps(stream);
  ASSERT_EQ(synced.size(), stream.time_stamps.size());
  for (std::size_t i = 0; i < synced.size(); ++i) {
    const double sender = stream.time_stamps[i];
    EXPECT_NEAR(synced[i], sender - 7200.0 + 100e-6 * sender, 5e-6) << i;
  }
}

TEST(ClockSync, EachSegmentBetweenResetsHasItsOwnLine) {
  Stream before = DriftingStream(3.0, 0.0, 1000.0);
  Stream after = DriftingStream(-500.0, 20e-6, 10.0);
  Stream stream = before;
  for (auto o : after.clock_offsets) {
    o.collection_time += 2000;  // the recorder's clock went on
    o.value += 2000;
    stream.clock_offsets.push_back(o);
  }
  stream.time_stamps = {1100.0, 20.0};
  const std::vector<OffsetLine> lines = FitClockOffsets(stream.clock_offsets);
  ASSERT_EQ(lines.size(), 2u);
  const std::vector<double> synced = SynchronizedTimeStamps(stream);
  EXPECT_NEAR(synced[0], 1103.0, 1e-9);
  EXPECT_NEAR(synced[1], 20.0 + 1500.0 + 20e-6 * 20.0, 1e-9);
}

// Offsets measured every 5 s on one host: the true offset is `offset`, and
// the measurements wander around it together (first-order autoregressive,
// correlation `rho` from one to the next, scatter `sd`).
std::vector<ClockOffsetMeasurement> WanderingOffsets(double offset, double sd, double rho,
                                                     double start, double seconds, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> normal(0.0, sd * std::sqrt(1 - rho * rho));
  std::vector<ClockOffsetMeasurement> offsets;
  double wander = sd * normal(random) / std::sqrt(1 - rho * rho);
  for (double sender = start; sender <= start + seconds; sender += 5.0) {
    offsets.push_back({sender + offset, offset + wander});
    wander = rho * wander + normal(random);
  }
  return offsets;
}

std::vector<double> StampsEverySecond(double start, double seconds) {
  std::vector<double> stamps;
  for (double t = start; t <= start + seconds; t += 1.0) stamps.push_back(t);
  return stamps;
}

TEST(ClockSync, WanderingOffsetsOnOneClockApplyNoSlope) {
  // A minute of offsets wandering by about 15 us, as on one busy host: a
  // line through them would claim a drift of a ppm or more.
  int covered = 0;
  constexpr int kRuns = 20;
  for (unsigned seed = 1; seed <= kRuns; ++seed) {
    const auto offsets = WanderingOffsets(-20e-6, 15e-6, 0.6, 1000.0, 60.0, seed);
    const std::vector<double> stamps = StampsEverySecond(1000.0, 60.0);
    const SynchronizedTimes synced = Synchronize(stamps, offsets);
    const std::vector<OffsetLine> lines = FitClockOffsets(offsets);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].slope, 0.0) << "seed " << seed;
    const double applied = synced.times.front() - stamps.front();
    EXPECT_NEAR(synced.times.back() - stamps.back(), applied, 1e-12) << "seed " << seed;
    // The standard errors are those of a few independent measurements of
    // 15 us scatter, widened for how few they are: more than a twentieth
    // of the scatter, less than ten times it.
    EXPECT_GT(synced.offset_se_s, 0.75e-6) << "seed " << seed;
    EXPECT_LT(synced.offset_se_s, 150e-6) << "seed " << seed;
    EXPECT_GT(synced.slope_se, 0.02e-6) << "seed " << seed;
    EXPECT_LT(synced.slope_se, 5e-6) << "seed " << seed;
    if (std::fabs(applied - -20e-6) <= 1.96 * synced.offset_se_s) ++covered;
  }
  // A 95 % interval holds the truth in about 19 runs of 20.
  EXPECT_GE(covered, 16);
}

TEST(ClockSync, DriftOfTwentyPpmOverAnHourIsApplied) {
  // Two hosts: the sender's clock runs 20 ppm slow, the offsets wander as
  // on a network.
  auto offsets = WanderingOffsets(0.5, 30e-6, 0.6, 2000.0, 3600.0, 7);
  for (auto &o : offsets) {
    const double drift = 20e-6 * (o.collection_time - o.value - 2000.0);
    o.value += drift;
    o.collection_time += drift;
  }
  const std::vector<double> stamps = StampsEverySecond(2000.0, 3600.0);
  const SynchronizedTimes synced = Synchronize(stamps, offsets);
  const std::vector<OffsetLine> lines = FitClockOffsets(offsets);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NEAR(lines[0].slope, 20e-6, 0.1e-6);
  EXPECT_GT(lines[0].slope_se, 0.0);
  EXPECT_LT(synced.slope_se, 0.1e-6);
  EXPECT_LT(synced.offset_se_s, 30e-6);
  for (std::size_t i = 0; i < stamps.size(); i += 600) {
    const double truth = stamps[i] + 0.5 + 20e-6 * (stamps[i] - 2000.0);
    EXPECT_NEAR(synced.times[i], truth, 4 * synced.offset_se_s + 100e-6) << i;
  }
}

TEST(ClockSync, ClockResetStartsASegmentWithItsOwnErrors) {
  // A minute on one clock, then the sender's host restarts its clock at 5 s
  // while the recorder's goes on; the second segment is noisier.
  auto offsets = WanderingOffsets(-10e-6, 5e-6, 0.5, 1000.0, 60.0, 3);
  for (const auto &o : WanderingOffsets(1070.0, 40e-6, 0.5, 5.0, 60.0, 4)) offsets.push_back(o);
  const std::vector<OffsetLine> lines = FitClockOffsets(offsets);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].slope, 0.0);
  EXPECT_EQ(lines[1].slope, 0.0);
  EXPECT_NEAR(lines[0].intercept, -10e-6, 4 * lines[0].intercept_se);
  EXPECT_NEAR(lines[1].intercept, 1070.0, 4 * lines[1].intercept_se);
  EXPECT_GT(lines[1].intercept_se, lines[0].intercept_se);
  // Stamps of the first segment only carry its errors; with both, the
  // larger.
  const SynchronizedTimes first = Synchronize({1010.0, 1050.0}, offsets);
  EXPECT_NEAR(first.times[0], 1010.0 + lines[0].intercept, 1e-12);
  EXPECT_DOUBLE_EQ(first.offset_se_s, lines[0].StandardErrorAt(1030.0));
  const SynchronizedTimes both = Synchronize({1010.0, 30.0}, offsets);
  EXPECT_NEAR(both.times[1], 30.0 + lines[1].intercept, 1e-9);
  EXPECT_DOUBLE_EQ(both.offset_se_s, lines[1].StandardErrorAt(30.0));
}

TEST(ClockSync, FewOffsetsLeaveTheDriftOpen) {
  const SynchronizedTimes one = Synchronize({1.0, 2.0}, {{5.0, 0.25}});
  EXPECT_GE(one.slope_se, 50e-6);
  EXPECT_GT(one.offset_se_s, 0.0);
  const SynchronizedTimes two = Synchronize({1.0}, {{5.0, 0.25}, {10.0, 0.25}});
  EXPECT_GE(two.slope_se, 50e-6);
}

TEST(ClockSync, WithoutOffsetsTheStampsStay) {
  Stream stream;
  stream.time_stamps = {1.0, 2.0};
  EXPECT_EQ(SynchronizedTimeStamps(stream), stream.time_stamps);
  const SynchronizedTimes synced = Synchronize(stream.time_stamps, {});
  EXPECT_EQ(synced.offset_se_s, 0.0);
  EXPECT_EQ(synced.slope_se, 0.0);
  stream.clock_offsets = {{5.0, 0.25}};
  EXPECT_EQ(SynchronizedTimeStamps(stream), (std::vector<double>{1.25, 2.25}));
}

TEST(ClockSync, ReferenceFileStampsMoveByTheOffset) {
  std::ifstream in(MAROQUINT_XDF_TEST_DATA "/minimal.xdf", std::ios::binary);
  const File file = Read(std::string{std::istreambuf_iterator<char>(in), {}});
  const std::vector<double> synced = SynchronizedTimeStamps(*file.FindByName("SendDataC"));
  ASSERT_EQ(synced.size(), 9u);
  for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR(synced[i], 5.0 + 0.1 * i, 1e-9);
}

}  // namespace
}  // namespace maroquint::xdf
