// One line or several: the pairs of a recording whose clock held, stepped
// or drifted unevenly.
#include "segments.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace maroquint::align {
namespace {

constexpr double kRate = 2048;
constexpr double kA = 5000.125;
constexpr double kB = 1 + 40e-6;
constexpr double kPi = 3.14159265358979323846;

// A pulse a second for `seconds`; the onsets quantized to the samples,
// the edges anywhere between samples, the markers with 50 µs of jitter; `truth` gives the marker
// time of an onset's EEG time.
template <typename Truth>
std::vector<TimePair> Pulses(int seconds, Truth truth, unsigned seed = 7) {
  std::mt19937 random(seed);
  std::normal_distribution<double> jitter(0, 50e-6);
  std::uniform_real_distribution<double> phase(0, 1 / kRate);
  std::vector<TimePair> pairs;
  for (int k = 1; k < seconds; ++k) {
    const double edge = k + phase(random);
    const double onset = std::ceil(edge * kRate) / kRate;
    pairs.push_back({onset, truth(edge) + jitter(random)});
  }
  return pairs;
}

TEST(Segments, OneLineWhenTheClocksHeld) {
  const auto pairs = Pulses(3600, [](double t) { return kA + kB * t; });
  const SegmentFit fit = FitSegments(pairs, kRate, 3600 * 2048);
  ASSERT_EQ(fit.segments.size(), 1u);
  EXPECT_TRUE(fit.reason.empty());
  EXPECT_EQ(fit.segments[0].first_sample, 0);
  EXPECT_EQ(fit.segments[0].last_sample, 3600 * 2048 - 1);
  EXPECT_EQ(fit.segments[0].pairs, pairs.size());
}

// The LSL clock stepped 20 ms forward after 10 hours.
TEST(Segments, ASteppedClockIsMappedInTwoPieces) {
  constexpr double kStepAt = 36000.5, kStep = 0.020;
  const auto truth = [](double t) { return kA + kB * t + (t > kStepAt ? kStep : 0); };
  const auto pairs = Pulses(72000, truth);
  const std::int64_t samples = 72000 * 2048;
  const SegmentFit fit = FitSegments(pairs, kRate, samples);
  ASSERT_EQ(fit.segments.size(), 2u) << fit.reason;
  EXPECT_FALSE(fit.reason.empty());
  EXPECT_GT(fit.single_line_error_s, 0.005);
  const Segment &first = fit.segments[0], &second = fit.segments[1];
  EXPECT_EQ(first.first_sample, 0);
  EXPECT_EQ(first.last_sample + 1, second.first_sample);
  EXPECT_EQ(second.last_sample, samples - 1);
  EXPECT_NEAR(second.first_sample / kRate, kStepAt, 1.0);
  // The truth within each piece's 95 % intervals.
  for (const auto &[segment, a] : {std::pair{first, kA}, std::pair{second, kA + kStep}}) {
    EXPECT_LE(segment.a_ci95[0], a);
    EXPECT_GE(segment.a_ci95[1], a);
    const double drift = (1 / kB - 1) * 1e6;
    EXPECT_LE(segment.drift_ci95_ppm[0], drift);
    EXPECT_GE(segment.drift_ci95_ppm[1], drift);
  }
}

// A drift that changes slowly over a day (temperature): a single line
// misses by far more than its interval, the pieces do not.
TEST(Segments, ASlowCurveIsMappedInPieces) {
  const auto truth = [](double t) { return kA + kB * t + 0.004 * std::sin(t / 86400 * kPi); };
  const auto pairs = Pulses(86400, truth);
  const SegmentFit fit = FitSegments(pairs, kRate, 86400 * 2048);
  EXPECT_GE(fit.segments.size(), 3u);
  EXPECT_FALSE(fit.capped);
  EXPECT_TRUE(fit.excursions.empty());
  for (std::size_t k = 0; k < pairs.size(); k += 997) {
    const double eeg_time = pairs[k].eeg_time;
    const Mapping mapping{kRate, fit.segments};
    EXPECT_NEAR(mapping.LslTime(eeg_time * kRate), truth(eeg_time), 0.0005) << eeg_time;
  }
}

// Markers 1 ms late for ten minutes of a busy computer, then on time again.
TEST(Segments, TellsAnExcursionFromAStep) {
  const auto late = [](double t) { return kA + kB * t + (t > 20000 && t < 20600 ? 0.001 : 0); };
  const SegmentFit fit = FitSegments(Pulses(40000, late), kRate, 40000 * 2048);
  ASSERT_EQ(fit.segments.size(), 3u) << fit.reason;
  EXPECT_EQ(fit.excursions, std::vector<std::size_t>{1});
  const auto stepped = [](double t) { return kA + kB * t + (t > 20000 ? 0.001 : 0); };
  EXPECT_TRUE(FitSegments(Pulses(40000, stepped), kRate, 40000 * 2048).excursions.empty());
}

TEST(Segments, SaysWhenItStoppedAtItsLimit) {
  const auto truth = [](double t) { return kA + kB * t + 0.004 * std::sin(t / 86400 * kPi); };
  SegmentOptions options;
  options.max_segments = 2;
  const SegmentFit fit = FitSegments(Pulses(86400, truth), kRate, 86400 * 2048, options);
  EXPECT_EQ(fit.segments.size(), 2u);
  EXPECT_TRUE(fit.capped);
}

TEST(Segments, TooFewPairsForABreak) {
  const auto pairs = Pulses(15, [](double t) { return kA + kB * t + (t > 7 ? 0.02 : 0); });
  EXPECT_EQ(FitSegments(pairs, kRate, 15 * 2048).segments.size(), 1u);
  EXPECT_TRUE(FitSegments({}, kRate, 0).segments.empty());
}

}  // namespace
}  // namespace maroquint::align
