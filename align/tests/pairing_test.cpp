#include "pairing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "onsets.h"

namespace maroquint::align {
namespace {

// Pulses once a second recorded by an amplifier whose clock runs
// `drift_ppm` fast, and their markers on an LSL clock `offset` ahead.
struct Train {
  double rate = 2048;
  double drift_ppm = 0;
  double offset = 10.0;   // LSL time of the true time 0
  double latency = 2e-4;  // marker time stamp after the edge
  int pulses = 600;
  double lost = 0;       // share of pulses lost on each side, at random
  double spurious = 0;   // share of extra onsets and markers, at random
  double outliers = 0;   // share of markers stamped 5-40 ms late
  int first_marked = 1;  // the first pulse(s) have no marker
  double jitter = 0;     // the edges vary by up to this around their period

  std::vector<double> onsets, markers;
  std::vector<int> onset_pulse, marker_pulse;  // -1: spurious; -2: outlier

  // Truth: the LSL time of the EEG's first sample, and the edges' LSL times.
  double EegStart() const { return offset + 0.0; }

  void Make(unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(0, 1);
    const double start = 3.7;  // true time of the first pulse after the EEG's first sample
    struct Event {
      double time;
      int pulse;
    };
    std::vector<Event> o, mk;
    for (int n = 0; n < pulses; ++n) {
      const double edge = start + n + jitter * (2 * uniform(random) - 1);
      if (uniform(random) >= lost) {
        // The first sample at or after the edge, on the amplifier's clock.
        const double sample = std::ceil(edge * rate * (1 + drift_ppm * 1e-6));
        o.push_back({sample / rate, n});
      }
      if (n >= first_marked && uniform(random) >= lost) {
        const bool late = uniform(random) < outliers;
        mk.push_back({offset + edge + latency + (late ? 0.005 + 0.035 * uniform(random) : 0),
                      late ? -2 : n});
      }
    }
    const int extra = static_cast<int>(spurious * pulses);
    for (int k = 0; k < extra; ++k) {
      o.push_back({std::round(uniform(random) * pulses * rate) / rate, -1});
      mk.push_back({offset + uniform(random) * pulses, -1});
    }
    auto by_time = [](const Event &x, const Event &y) { return x.time < y.time; };
    std::sort(o.begin(), o.end(), by_time);
    std::sort(mk.begin(), mk.end(), by_time);
    for (const Event &x : o) onsets.push_back(x.time), onset_pulse.push_back(x.pulse);
    for (const Event &x : mk) markers.push_back(x.time), marker_pulse.push_back(x.pulse);
  }
};

// Every pair joins an onset and a marker of the same pulse, and every pulse
// present on both sides (and not an outlier beyond the tolerance) is paired.
void ExpectRightPairs(const Train &train, const Alignment &result) {
  std::vector<bool> has_onset(train.pulses, false);
  for (int pulse : train.onset_pulse) {
    if (pulse >= 0) has_onset[pulse] = true;
  }
  std::size_t true_pairs = 0;
  for (int pulse : train.marker_pulse) true_pairs += pulse >= 0 && has_onset[pulse];
  std::size_t right = 0;
  for (const Pair &p : result.pairs) {
    const int pulse = train.marker_pulse[p.marker];
    if (pulse == -2) {
      EXPECT_TRUE(p.outlier) << "late marker " << p.marker << " not flagged";
      continue;
    }
    EXPECT_EQ(train.onset_pulse[p.onset], pulse) << "marker " << p.marker;
    EXPECT_FALSE(p.outlier) << "marker " << p.marker;
    right += train.onset_pulse[p.onset] == pulse && pulse >= 0;
  }
  EXPECT_EQ(right, true_pairs);
}

TEST(Align, RecoversTheMappingThroughLossesExtrasAndOutliers) {
  for (const double drift : {-100.0, 0.0, 100.0}) {
    Train train;
    train.drift_ppm = drift;
    train.lost = 0.02;
    train.spurious = 0.01;
    train.outliers = 0.01;
    train.jitter = 5e-4;
    train.Make(static_cast<unsigned>(drift + 1000));
    Options options;
    options.sample_period_s = 1 / train.rate;
    const Alignment result = Align(train.onsets, train.markers, options);
    SCOPED_TRACE("drift " + std::to_string(drift));
    ASSERT_EQ(result.outcome, Outcome::kOk);
    EXPECT_NEAR(result.DriftPpm(), drift, 0.5);
    EXPECT_NEAR(result.a, train.EegStart() + train.latency, 0.2 / train.rate);
    ExpectRightPairs(train, result);
    EXPECT_GT(result.outliers, 0u);
    EXPECT_LT(result.residuals.max, 1.0 / train.rate);
    EXPECT_NEAR(result.residuals.sd, 1 / train.rate / std::sqrt(12.0), 0.1 / train.rate);
    EXPECT_LE(result.residuals.p99, result.residuals.max);
  }
}

// Hours of pulses: the intervals, quantized to the EEG's samples, are too
// coarse to count periods over the whole recording.
TEST(Align, KeepsCountOverHours) {
  Train train;
  train.pulses = 4 * 3600;
  train.drift_ppm = -80;
  train.lost = 0.01;
  train.spurious = 0.001;
  train.jitter = 3e-4;
  train.Make(11);
  const Alignment result = Align(train.onsets, train.markers);
  ASSERT_EQ(result.outcome, Outcome::kOk);
  EXPECT_NEAR(result.DriftPpm(), -80, 0.1);
  ExpectRightPairs(train, result);
}

TEST(Align, ClocksStartAnywhere) {
  for (const double offset : {-86400.0, 0.35, 123456.789}) {
    Train train;
    train.offset = offset;
    train.drift_ppm = 37;
    train.pulses = 120;
    train.lost = 0.05;
    train.jitter = 5e-4;
    train.Make(7);
    const Alignment result = Align(train.onsets, train.markers);
    ASSERT_EQ(result.outcome, Outcome::kOk) << offset;
    ExpectRightPairs(train, result);
    EXPECT_NEAR(result.a, offset + train.latency, 1e-3);
  }
}

// A train of exactly equal intervals matches itself shifted by a period:
// the pairing that joins the ends of the recordings is taken, and the
// others reported.
TEST(Align, AGaplessTrainPairsTheEndsAndSaysSo) {
  Train train;
  train.pulses = 60;
  train.first_marked = 2;
  train.Make(3);
  const Alignment result = Align(train.onsets, train.markers);
  ASSERT_EQ(result.outcome, Outcome::kOk);
  ExpectRightPairs(train, result);
  EXPECT_EQ(result.unmatched_onsets, (std::vector<std::size_t>{0, 1}));
  EXPECT_TRUE(result.unmatched_markers.empty());
  EXPECT_FALSE(result.equal_shifts.empty());
}

TEST(Align, SaysWhyItCannotAlign) {
  EXPECT_EQ(Align({}, {1.0}).outcome, Outcome::kNoOnsets);
  EXPECT_EQ(Align({1.0}, {}).outcome, Outcome::kNoMarkers);
  EXPECT_EQ(Align({1.0, 2.0, 3.0}, {5.0, 6.0}).outcome, Outcome::kTooFewPairs);
  // Onsets 0.3 s apart and markers 1 s apart never line up in more than a
  // few places.
  std::vector<double> onsets, markers;
  for (int i = 0; i < 10; ++i) onsets.push_back(0.3 * i), markers.push_back(100.0 + 0.77 * i * i);
  EXPECT_NE(Align(onsets, markers).outcome, Outcome::kOk);
  EXPECT_NE(Describe(Outcome::kNoOverlap).find("overlap"), std::string::npos);
}

TEST(EdgeDetector, FindsRisingEdgesOfOneBit) {
  EdgeDetector detector(1);
  // Bit 1 high from the first sample (not an onset), then rises at 4 and 9;
  // other bits change without effect.
  const std::int32_t first[] = {2, 3, 0, 1, 2, 6, 7};
  const std::int32_t second[] = {0, 4, 0xFFFFFE, 5};
  detector.Feed(first, 7);
  detector.Feed(second, 4);
  EXPECT_EQ(detector.onsets(), (std::vector<std::int64_t>{4, 9}));
  EXPECT_EQ(detector.high_samples(), (std::vector<std::int64_t>{3, 1}));
  EXPECT_EQ(detector.samples_seen(), 11);

  // A float channel of several, interleaved: channel 1 of 2.
  EdgeDetector bit0(0);
  const double interleaved[] = {9, 0, 9, 1, 9, 1, 9, 0, 9, 1.0000001, 9, NAN};
  bit0.Feed(interleaved + 1, 6, 2);
  EXPECT_EQ(bit0.onsets(), (std::vector<std::int64_t>{1, 4}));
  EXPECT_EQ(bit0.high_samples(), (std::vector<std::int64_t>{2, 1}));
  // Still set at the end: its length is unknown.
  const std::int8_t rising[] = {0, 1, 1};
  EdgeDetector open(0);
  open.Feed(rising, 3);
  EXPECT_EQ(open.high_samples(), (std::vector<std::int64_t>{-1}));
}

}  // namespace
}  // namespace maroquint::align
