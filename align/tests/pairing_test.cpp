#include "pairing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "onsets.h"

namespace maroquint::align {
namespace {

// Pulses once a second from `start` (true time), recorded by an amplifier
// whose clock runs `drift_ppm` fast, and their markers on an LSL clock
// `offset` ahead of true time.
struct Train {
  double rate = 2048;
  double drift_ppm = 0;
  double offset = 10.0;   // LSL time of true time 0
  double latency = 2e-4;  // marker time stamp after the edge
  int pulses = 600;
  double lost = 0;       // share of pulses lost on each side, at random
  double spurious = 0;   // share of extra onsets and markers, at random
  double outliers = 0;   // share of markers stamped 5-40 ms late
  int first_marked = 1;  // the first pulse(s) have no marker
  double jitter = 0;     // the edges vary by up to this around their period
  // The pulses each recording covers (last < 0: to the end); the EEG
  // starts half a period before its first pulse.
  int eeg_first = 0, eeg_last = -1, marker_first = 0, marker_last = -1;
  bool span_known = false;   // the marker recorder's span is in the file
  std::vector<int> paused;   // pulses the program did not send
  int restart = -1;          // the program restarts here, 0.37 s later in phase
  int cut = -1;              // the input wire is cut from this pulse for 3.4 s
  int delayed = -1;          // from this pulse on, 2.4 ms late (a busy machine's late cycle)
  double stamp_jitter = -1;  // >= 0: the EEG through LSL, stamps this noisy

  static constexpr double kStart = 3.7;
  std::vector<int> onset_pulse, marker_pulse;  // -1: spurious; -2: outlier; -3: reconnection
  Recordings recordings;

  // Truth: the LSL time of the EEG's first sample, and what `a` should be.
  double EegStart() const { return offset + EegOrigin(); }
  double TrueA() const { return EegStart() + latency; }
  double EegOrigin() const { return eeg_first > 0 ? kStart + eeg_first - 0.5 : 0.0; }
  // A cut holds the pulse `cut` high for 3.4 s and skips three more; the
  // catch-up cycle, pulse cut + 4, and those after it keep the new phase.
  double Edge(int n) const {
    return kStart + n + (restart >= 0 && n >= restart ? 0.37 : 0) +
           (cut >= 0 && n >= cut + 4 ? kCatchUp - 4 : 0) +
           (delayed >= 0 && n >= delayed ? 0.0024 : 0);
  }
  static constexpr double kCatchUp = 3.4 + 3e-4;

  // The EEG time of a true time, and its sample.
  double EegTime(double t) const { return (t - EegOrigin()) * (1 + drift_ppm * 1e-6); }
  double Sample(double t) const { return std::ceil(EegTime(t) * rate); }

  // Onset and marker numbers (from 0) of the first pulse on both sides.
  std::pair<std::size_t, std::size_t> FirstPair() const {
    for (std::size_t i = 0; i < onset_pulse.size(); ++i) {
      const auto j = std::find(marker_pulse.begin(), marker_pulse.end(), onset_pulse[i]);
      if (onset_pulse[i] >= 0 && j != marker_pulse.end()) {
        return {i, static_cast<std::size_t>(j - marker_pulse.begin())};
      }
    }
    return {0, 0};
  }

  void Make(unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> uniform(0, 1);
    std::normal_distribution<double> normal(0, 1);
    const int eeg_end = eeg_last < 0 ? pulses - 1 : eeg_last;
    const int marker_end = marker_last < 0 ? pulses - 1 : marker_last;
    struct Event {
      double time;
      int pulse;
      std::int64_t high = 6;  // samples: 3 ms at 2048 Hz
    };
    std::vector<Event> o, mk;
    for (int n = 0; n < pulses; ++n) {
      if (std::find(paused.begin(), paused.end(), n) != paused.end()) continue;
      if (cut >= 0 && n > cut && n <= cut + 4) continue;  // held high, or the catch-up
      const double edge = Edge(n) + jitter * (2 * uniform(random) - 1);
      const bool in_eeg = n >= eeg_first && n <= eeg_end;
      const bool in_markers = n >= std::max(first_marked, marker_first) && n <= marker_end &&
                              !(restart >= 0 && n == restart);
      if (n == cut) {
        // Held high until the wire is mended; the program reads the rise
        // there, and its cycle being overdue, drops the output one device
        // sample later and starts its catch-up cycle 0.2 ms after that: a
        // low that the amplifier may see or not.
        const double mended = edge + 3.4, drop = mended + 1e-4, catch_up = Edge(cut + 4);
        const bool low_seen = Sample(drop) < Sample(catch_up);
        if (in_eeg) {
          const double end = low_seen ? drop : catch_up + 0.003;
          o.push_back({Sample(edge) / rate, low_seen ? -3 : cut + 4,
                       static_cast<std::int64_t>(Sample(end) - Sample(edge))});
          if (low_seen) {
            o.push_back({Sample(catch_up) / rate, cut + 4,
                         static_cast<std::int64_t>(Sample(catch_up + 0.003) - Sample(catch_up))});
          }
        }
        if (in_markers) {
          mk.push_back({offset + mended + latency, -3});
          mk.push_back({offset + catch_up + latency, cut + 4});
        }
        continue;
      }
      if (in_eeg && uniform(random) >= lost) o.push_back({Sample(edge) / rate, n});
      if (in_markers && uniform(random) >= lost) {
        const bool late = uniform(random) < outliers;
        mk.push_back({offset + edge + latency + (late ? 0.005 + 0.035 * uniform(random) : 0),
                      late ? -2 : n});
      }
    }
    const int extra = static_cast<int>(spurious * pulses);
    for (int k = 0; k < extra; ++k) {
      o.push_back({std::round(uniform(random) * EegTime(kStart + eeg_end) * rate) / rate, -1});
      mk.push_back(
          {offset + kStart + marker_first + uniform(random) * (marker_end - marker_first), -1});
    }
    auto by_time = [](const Event &x, const Event &y) { return x.time < y.time; };
    std::sort(o.begin(), o.end(), by_time);
    std::sort(mk.begin(), mk.end(), by_time);
    recordings = {};
    for (const Event &x : o) {
      recordings.onsets.push_back(x.time);
      recordings.high_samples.push_back(x.high);
      onset_pulse.push_back(x.pulse);
      if (stamp_jitter >= 0) {
        recordings.onset_stamps.push_back(EegStart() + x.time / (1 + drift_ppm * 1e-6) +
                                          stamp_jitter * normal(random));
      }
    }
    for (const Event &x : mk) recordings.markers.push_back(x.time), marker_pulse.push_back(x.pulse);
    recordings.eeg_duration_s = EegTime(Edge(eeg_end) + 0.5);
    if (span_known) {
      recordings.recorded_from = offset + Edge(marker_first) - 0.5;
      recordings.recorded_to = offset + Edge(marker_end) + 0.5;
    }
  }

  Options MakeOptions() const {
    Options options;
    options.sample_period_s = 1 / rate;
    return options;
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

// The truth is among the candidates, and none of them was taken.
void ExpectAmbiguousWithTheTruth(const Train &train, const Alignment &result) {
  ASSERT_EQ(result.outcome, Outcome::kAmbiguous) << result.reason;
  EXPECT_EQ(result.decided_by, Decider::kNone);
  EXPECT_GT(result.candidates.size(), 1u);
  std::size_t near_truth = 0;
  for (const Candidate &c : result.candidates) {
    near_truth += std::fabs(c.a - train.TrueA()) < 2e-3;
  }
  EXPECT_EQ(near_truth, 1u);
}

// The EEG recorded through LSL beside the markers: one clock decides, and
// the offset and drift come with intervals that hold the truth.
TEST(Align, RecoversTheMappingThroughLossesExtrasAndOutliers) {
  for (const double drift : {-100.0, 0.0, 100.0}) {
    Train train;
    train.drift_ppm = drift;
    train.lost = 0.02;
    train.spurious = 0.01;
    train.outliers = 0.01;
    train.jitter = 5e-4;
    train.stamp_jitter = 0.005;
    train.Make(static_cast<unsigned>(drift + 1000));
    const Alignment result = Align(train.recordings, train.MakeOptions());
    SCOPED_TRACE("drift " + std::to_string(drift));
    ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
    EXPECT_EQ(result.decided_by, Decider::kOneClock);
    EXPECT_NEAR(result.DriftPpm(), drift, 0.5);
    EXPECT_NEAR(result.a, train.TrueA(), 0.2 / train.rate);
    EXPECT_LE(result.a_ci95[0], train.TrueA());
    EXPECT_GE(result.a_ci95[1], train.TrueA());
    EXPECT_LE(result.drift_ci95_ppm[0], drift);
    EXPECT_GE(result.drift_ci95_ppm[1], drift);
    EXPECT_LT(result.a_ci95[1] - result.a_ci95[0], 1e-4);
    ExpectRightPairs(train, result);
    EXPECT_GT(result.outliers, 0u);
    EXPECT_LT(result.residuals.max, 1.0 / train.rate);
    EXPECT_NEAR(result.residuals.sd, 1 / train.rate / std::sqrt(12.0), 0.1 / train.rate);
    EXPECT_LE(result.residuals.p99, result.residuals.max);
  }
}

// Hours of pulses: the intervals, quantized to the EEG's samples, are too
// coarse to count periods over the whole recording. The user names the
// first pair.
TEST(Align, KeepsCountOverHours) {
  Train train;
  train.pulses = 4 * 3600;
  train.drift_ppm = -80;
  train.lost = 0.01;
  train.spurious = 0.001;
  train.jitter = 3e-4;
  train.Make(11);
  Options options = train.MakeOptions();
  options.first_pair = train.FirstPair();
  const Alignment result = Align(train.recordings, options);
  ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
  EXPECT_EQ(result.decided_by, Decider::kUser);
  EXPECT_NEAR(result.DriftPpm(), -80, 0.1);
  ExpectRightPairs(train, result);
}

// The user's offset, to within a quarter period, picks the candidate.
TEST(Align, ClocksStartAnywhere) {
  for (const double offset : {-86400.0, 0.35, 123456.789}) {
    Train train;
    train.offset = offset;
    train.drift_ppm = 37;
    train.pulses = 120;
    train.lost = 0.05;
    train.jitter = 5e-4;
    train.Make(7);
    Options options = train.MakeOptions();
    options.approximate_offset_s = train.TrueA() + 0.2;
    const Alignment result = Align(train.recordings, options);
    ASSERT_EQ(result.outcome, Outcome::kOk) << offset << ": " << result.reason;
    ExpectRightPairs(train, result);
    EXPECT_NEAR(result.a, train.TrueA(), 1e-3);
    options.approximate_offset_s = train.TrueA() + 0.4;
    EXPECT_EQ(Align(train.recordings, options).outcome, Outcome::kUserChoiceUnfit);
  }
}

// A lab's program runs for days; each recording is a window of it.
TEST(Align, AWindowOfARegularTrainIsAmbiguous) {
  Train train;
  train.eeg_first = 101;
  train.eeg_last = 400;
  train.marker_first = 150;
  train.Make(3);
  const Alignment result = Align(train.recordings, train.MakeOptions());
  ExpectAmbiguousWithTheTruth(train, result);

  // The user decides; a pair that is not whole periods apart does not fit.
  Options options = train.MakeOptions();
  options.first_pair = train.FirstPair();
  const Alignment decided = Align(train.recordings, options);
  ASSERT_EQ(decided.outcome, Outcome::kOk) << decided.reason;
  EXPECT_EQ(decided.decided_by, Decider::kUser);
  ExpectRightPairs(train, decided);
  EXPECT_NEAR(decided.a, train.TrueA(), 0.6 / train.rate);
  train.recordings.markers[options.first_pair->second] += 0.5;
  EXPECT_EQ(Align(train.recordings, options).outcome, Outcome::kUserChoiceUnfit);
}

// A pause seen by both recordings tells which pulse is which, among
// events lost at random too.
TEST(Align, ASharedGapDecides) {
  for (const double drift : {-150.0, 60.0}) {
    Train train;
    train.drift_ppm = drift;
    train.lost = drift > 0 ? 0.01 : 0;
    train.eeg_first = 101;
    train.eeg_last = 400;
    train.marker_first = 150;
    train.paused = {250, 251, 252};
    train.Make(4);
    const Alignment result = Align(train.recordings, train.MakeOptions());
    ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
    EXPECT_EQ(result.decided_by, Decider::kSharedPattern);
    ExpectRightPairs(train, result);
    EXPECT_NEAR(result.a, train.TrueA(), 0.6 / train.rate);
  }
}

// Pulses paced in software vary their intervals; both recordings share
// the variation under the true pairing alone.
TEST(Align, UnevenIntervalsDecide) {
  Train train;
  train.eeg_first = 101;
  train.eeg_last = 400;
  train.marker_first = 150;
  train.jitter = 2e-3;
  train.drift_ppm = -30;
  train.Make(13);
  const Alignment result = Align(train.recordings, train.MakeOptions());
  ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
  EXPECT_EQ(result.decided_by, Decider::kSharedPattern);
  EXPECT_NE(result.decision.find("intervals"), std::string::npos) << result.decision;
  ExpectRightPairs(train, result);
  EXPECT_NEAR(result.a, train.TrueA(), 0.2 / train.rate);
}

// A restart changes the phase; the restarted program's first marker
// reaches no consumer.
TEST(Align, ARestartDecides) {
  Train train;
  train.restart = 300;
  train.drift_ppm = 45;
  train.Make(5);
  const Alignment result = Align(train.recordings, train.MakeOptions());
  ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
  EXPECT_EQ(result.decided_by, Decider::kSharedPattern);
  ExpectRightPairs(train, result);
  EXPECT_NEAR(result.a, train.TrueA(), 0.6 / train.rate);
}

// A wire cut on the input side at 2048 Hz: one long pulse whose marker is
// at its fall, and the catch-up marker 3 ms later.
TEST(Align, ACutInputWireDecides) {
  // At 2048 Hz the low before the catch-up is seen in one cycle of two or
  // so, at 16384 Hz always.
  for (const double rate : {2048.0, 16384.0}) {
    for (unsigned seed = 6; seed < 10; ++seed) {
      Train train;
      train.rate = rate;
      train.cut = 200;
      train.eeg_first = 50;
      train.eeg_last = 450;
      train.marker_first = 120;
      train.Make(seed);
      SCOPED_TRACE(std::to_string(rate) + " Hz, seed " + std::to_string(seed));
      const Alignment result = Align(train.recordings, train.MakeOptions());
      ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
      EXPECT_EQ(result.decided_by, Decider::kSharedPattern);
      ExpectRightPairs(train, result);
      ASSERT_EQ(result.long_pulses.size(), 1u);
      EXPECT_NEAR(train.recordings.onsets[result.long_pulses[0]], train.EegTime(train.Edge(200)),
                  1.0 / rate);
      EXPECT_NEAR(result.a, train.TrueA(), 0.6 / train.rate);
    }
  }
}

// A busy machine around a cut, in windows of a run of 30 pulses at 4096 Hz
// as the simulated device recorded them: the marker of the last pulse
// before the cut stamped 3 ms late, an outlier of the fit at the end of
// its run; or every cycle from the 17th on 2.4 ms late, in both
// recordings, which puts the first line of the true pairing's phase a few
// tenths of a millisecond off at the cut, enough to give the cut's marker
// to the catch-up onset beside its long pulse. Both recordings still
// change phase at the same pulse, which decides.
TEST(Align, ACutWireDecidesOnABusyMachine) {
  struct Case {
    int late_marker, delayed, eeg_last, marker_first, marker_last;
  };
  for (const Case c : {Case{11, -1, -1, 3, 22}, Case{-1, 17, 24, 0, 18}}) {
    Train train;
    train.rate = 4096;
    train.drift_ppm = 40;
    train.pulses = 30;
    train.cut = 12;
    train.eeg_first = 4;
    train.eeg_last = c.eeg_last;
    train.marker_first = c.marker_first;
    train.marker_last = c.marker_last;
    train.delayed = c.delayed;
    train.Make(1);
    if (c.late_marker >= 0) {
      const auto late =
          std::find(train.marker_pulse.begin(), train.marker_pulse.end(), c.late_marker);
      ASSERT_NE(late, train.marker_pulse.end());
      train.recordings.markers[late - train.marker_pulse.begin()] += 0.003;
      *late = -2;
    }
    SCOPED_TRACE("late marker " + std::to_string(c.late_marker) + ", delayed from " +
                 std::to_string(c.delayed));
    const Alignment result = Align(train.recordings, train.MakeOptions());
    ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
    EXPECT_EQ(result.decided_by, Decider::kSharedPattern);
    ExpectRightPairs(train, result);
    EXPECT_NEAR(result.a, train.TrueA(), 0.6 / train.rate);
  }
}

// The marker of the pulse before a cut lost, among others lost at random:
// where the phase changed is then not known to the period in the markers.
// The long pulse's marker came at its fall from a program that went on,
// never a restarted program's lost first marker; taken for one, it let the
// pairing one period off explain the recordings best, and decide.
TEST(Align, ACutWireIsNoRestart) {
  for (unsigned seed = 0; seed < 6; ++seed) {
    Train train;
    train.drift_ppm = -36;
    train.jitter = 3e-4;
    train.lost = 0.04;
    train.pulses = 172;
    train.cut = 86;
    train.eeg_first = 10;
    train.eeg_last = 158;
    train.marker_first = 2;
    train.marker_last = 132;
    train.Make(seed);
    const auto lost = std::find(train.marker_pulse.begin(), train.marker_pulse.end(), 85);
    if (lost != train.marker_pulse.end()) {
      train.recordings.markers.erase(train.recordings.markers.begin() +
                                     (lost - train.marker_pulse.begin()));
      train.marker_pulse.erase(lost);
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Alignment result = Align(train.recordings, train.MakeOptions());
    if (result.outcome == Outcome::kOk) {
      EXPECT_NEAR(result.a, train.TrueA(), 0.6 / train.rate);
    } else {
      ExpectAmbiguousWithTheTruth(train, result);
    }
  }
}

// Pulses lost at random on both sides look alike under every shift.
TEST(Align, RandomLossesNeverDecide) {
  for (unsigned seed = 0; seed < 10; ++seed) {
    Train train;
    train.pulses = 300;
    train.lost = 0.03;
    train.eeg_first = 20;
    train.marker_first = 40;
    train.marker_last = 280;
    train.Make(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    ExpectAmbiguousWithTheTruth(train, Align(train.recordings, train.MakeOptions()));
  }
}

// The stop of the program seen by both recordings, the marker recorder's
// span being known, decides too.
TEST(Align, StoppingTheProgramFirstDecidesWhenTheSpanIsKnown) {
  Train train;
  train.eeg_first = 10;
  train.marker_first = 30;
  train.Make(8);
  train.recordings.eeg_duration_s += 20;
  EXPECT_EQ(Align(train.recordings, train.MakeOptions()).outcome, Outcome::kAmbiguous);
  train.recordings.recorded_from = train.recordings.markers.front() - 0.3;
  train.recordings.recorded_to = train.recordings.markers.back() + 20;
  const Alignment result = Align(train.recordings, train.MakeOptions());
  ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
  ExpectRightPairs(train, result);
}

// Both recorders taking the run before its first pulse, the marker
// recorder's span being known: the run's start decides.
TEST(Align, StartingTheRecordersFirstDecidesWhenTheSpanIsKnown) {
  Train train;
  train.first_marked = 0;
  train.eeg_last = 300;
  train.Make(12);
  EXPECT_EQ(Align(train.recordings, train.MakeOptions()).outcome, Outcome::kAmbiguous);
  train.recordings.recorded_from = train.recordings.markers.front() - 2;
  train.recordings.recorded_to = train.recordings.markers.back() + 0.5;
  const Alignment result = Align(train.recordings, train.MakeOptions());
  ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
  EXPECT_EQ(result.decided_by, Decider::kSharedPattern);
  ExpectRightPairs(train, result);
}

// A busy computer drops the output late now and then: pulses of 10 ms
// whose markers came at their rise, which they keep.
TEST(Align, PulsesDroppedLateKeepTheirRise) {
  Train train;
  train.paused = {100, 101, 102};
  train.Make(13);
  for (std::size_t i = 0; i < train.recordings.high_samples.size(); i += 7) {
    train.recordings.high_samples[i] = 21;
  }
  const Alignment result = Align(train.recordings, train.MakeOptions());
  ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
  EXPECT_TRUE(result.long_pulses.empty());
  ExpectRightPairs(train, result);
  EXPECT_NEAR(result.a, train.TrueA(), 0.6 / train.rate);
}

TEST(Align, RefusesWhatIsNotOnePulseTrain) {
  Train train;
  train.lost = 0.01;
  train.Make(9);
  std::mt19937 random(9);
  std::uniform_real_distribution<double> uniform(0, 1);
  // The wrong channel: onsets every few milliseconds.
  Recordings wrong_channel = train.recordings;
  wrong_channel.onsets.clear();
  wrong_channel.high_samples.clear();
  for (double t = 0; t < 600; t += 0.002 + 0.004 * uniform(random)) {
    wrong_channel.onsets.push_back(std::ceil(t * 2048) / 2048);
  }
  Alignment result = Align(wrong_channel, train.MakeOptions());
  EXPECT_EQ(result.outcome, Outcome::kRefused);
  EXPECT_NE(result.reason.find("onset intervals"), std::string::npos) << result.reason;
  // Markers of another run: a marker now and then.
  Recordings other_run = train.recordings;
  other_run.markers.clear();
  for (int k = 0; k < 600; ++k) other_run.markers.push_back(10 + 600 * uniform(random));
  std::sort(other_run.markers.begin(), other_run.markers.end());
  EXPECT_EQ(Align(other_run, train.MakeOptions()).outcome, Outcome::kRefused);
  // Markers of pulses once a second, but at random phases.
  for (std::size_t j = 0; j < other_run.markers.size(); ++j) {
    other_run.markers[j] = 10 + static_cast<double>(j) + 0.3 * uniform(random);
  }
  EXPECT_EQ(Align(other_run, train.MakeOptions()).outcome, Outcome::kRefused);
}

TEST(Align, RefusesADriftBeyondAnyClock) {
  Train train;
  train.drift_ppm = 1500;
  train.Make(10);
  const Alignment result = Align(train.recordings, train.MakeOptions());
  EXPECT_EQ(result.outcome, Outcome::kRefused);
  EXPECT_NE(result.reason.find("ppm"), std::string::npos) << result.reason;
}

// A day of pulses on both sides, one pause of three.
TEST(Align, ADayOfPulses) {
  Train train;
  train.pulses = 86400;
  train.first_marked = 0;
  train.drift_ppm = 20;
  train.paused = {40000, 40001, 40002};
  train.Make(12);
  const Alignment result = Align(train.recordings, train.MakeOptions());
  ASSERT_EQ(result.outcome, Outcome::kOk) << result.reason;
  EXPECT_EQ(result.pairs.size(), 86397u);
  EXPECT_NEAR(result.a, train.TrueA(), 0.6 / train.rate);
}

TEST(Align, SaysWhyItCannotAlign) {
  EXPECT_EQ(Align(std::vector<double>{}, {1.0}).outcome, Outcome::kNoOnsets);
  EXPECT_EQ(Align({1.0}, std::vector<double>{}).outcome, Outcome::kNoMarkers);
  EXPECT_EQ(Align({1.0, 2.0, 3.0}, {5.0, 6.0}).outcome, Outcome::kTooFewPairs);
  // Onsets 0.3 s apart and markers 1 s apart never line up in more than a
  // few places.
  std::vector<double> onsets, markers;
  for (int i = 0; i < 10; ++i) onsets.push_back(0.3 * i), markers.push_back(100.0 + 0.77 * i * i);
  EXPECT_NE(Align(onsets, markers).outcome, Outcome::kOk);
  EXPECT_NE(Describe(Outcome::kNoOverlap).find("overlap"), std::string::npos);
  EXPECT_EQ(Status(Outcome::kAmbiguous), "ambiguous");
  // Times out of order or not numbers are not guessed at.
  const Alignment backwards = Align({1.0, 2.0, 3.0}, {5.0, 4.0, NAN});
  EXPECT_EQ(backwards.outcome, Outcome::kRefused);
  EXPECT_NE(backwards.reason.find("marker times go back or are not numbers at number 2"),
            std::string::npos)
      << backwards.reason;
  EXPECT_EQ(Align({1.0, INFINITY}, {5.0}).outcome, Outcome::kRefused);
}

TEST(EdgeDetector, FindsRisingEdgesOfOneBit) {
  EdgeDetector detector(1);
  // Bit 1 high from the first sample (not an onset), then rises at 4 and 9;
  // other bits change without effect.
  const std::int32_t first[] = {2, 3, 0, 1, 2, 6, 7};
  const std::int32_t second[] = {0, 4, 0xFFFFFE, 5};
  detector.Feed(first, 7);
  detector.Feed(second, 4);
  EXPECT_EQ(detector.Onsets(), (std::vector<std::int64_t>{4, 9}));
  EXPECT_EQ(detector.HighSamples(), (std::vector<std::int64_t>{3, 1}));
  EXPECT_EQ(detector.SamplesSeen(), 11);

  // A float channel of several, interleaved: channel 1 of 2.
  EdgeDetector bit0(0);
  const double interleaved[] = {9, 0, 9, 1, 9, 1, 9, 0, 9, 1.0000001, 9, NAN};
  bit0.Feed(interleaved + 1, 6, 2);
  EXPECT_EQ(bit0.Onsets(), (std::vector<std::int64_t>{1, 4}));
  EXPECT_EQ(bit0.HighSamples(), (std::vector<std::int64_t>{2, 1}));
  // Still set at the end: its length is unknown.
  const std::int8_t rising[] = {0, 1, 1};
  EdgeDetector open(0);
  open.Feed(rising, 3);
  EXPECT_EQ(open.HighSamples(), (std::vector<std::int64_t>{-1}));
}

}  // namespace
}  // namespace maroquint::align
