// Pairs the trigger onsets of an EEG recording with the markers that the
// same pulses produced, by time, and fits the mapping between the clocks:
//
//   marker time = a + b × EEG time
//
// EEG time is seconds from the recording's first sample by its nominal
// rate; marker time is on the LSL clock. No I/O: callers read the files.
//
// A train of equal intervals fixes b, but a only up to a whole number of
// pulse periods. Which number is decided by the user, by one clock (the EEG
// recorded through LSL beside the markers), or by irregularities that both
// recordings share (a pause, a restart, a cut wire); otherwise the result
// is ambiguous and lists the candidates instead of picking one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace maroquint::align {

// What the two files tell. Fields left empty or zero are not known.
struct Recordings {
  std::vector<double> onsets;  // EEG seconds from the first sample, increasing
  // Per onset: samples the trigger bit stayed set (-1: still set at the
  // end); empty when unknown.
  std::vector<std::int64_t> high_samples;
  // The EEG recording's length in seconds; 0: up to its last onset.
  double eeg_duration_s = 0;
  // Per onset: its time stamp on the marker clock (the EEG recorded through
  // LSL into the markers' XDF file); empty when the clocks are unrelated.
  std::vector<double> onset_stamps;
  std::vector<double> markers;  // marker clock, increasing
  // The span in which the marker recorder was recording, on the marker
  // clock; recorded_to <= recorded_from: the markers' own first to last.
  double recorded_from = 0;
  double recorded_to = 0;
  // Standard errors of the clock offsets applied to the marker times: at
  // the middle of the markers (s) and of their slope (s/s).
  double offset_se_s = 0;
  double offset_slope_se = 0;
};

struct Options {
  // Largest difference of rate between the two clocks that the search
  // allows for (amplifiers and PCs are within 100 ppm of each other).
  double max_drift_ppm = 200;
  // Largest distance, in seconds, between a marker and its onset's place
  // under the mapping for them to be a pair; 0 takes the lesser of 0.1 s
  // and a quarter of the pulse period.
  double tolerance_s = 0;
  // The EEG's sample period: the onsets are quantized to it, so residuals
  // within it are never outliers.
  double sample_period_s = 0;
  // A pair is an outlier when its residual is further from the fit than
  // this many standard deviations (estimated robustly) of the others.
  double outlier_sigmas = 6;
  // The user's decision: this onset and this marker (indices from 0) are a
  // pair; or the LSL time of the EEG's first sample, to within a quarter
  // period.
  std::optional<std::pair<std::size_t, std::size_t>> first_pair;
  std::optional<double> approximate_offset_s;
};

// Beyond these a result is refused: not the recordings of one pulse train
// (wrong channel, markers of another run) or not a pairing worth a mapping.
inline constexpr double kMaxIntervalMismatch = 0.05;  // median intervals, relative
inline constexpr double kMaxDriftPpm = 1000;
inline constexpr double kMaxSpreadS = 0.005;  // robust sd, plus two EEG samples
inline constexpr double kMinPairedShare = 0.5;
inline constexpr std::size_t kMinPairs = 3;

struct Pair {
  std::size_t onset;   // index into the onset times
  std::size_t marker;  // index into the marker times
  double eeg_time;     // the onset's effective time (see long_pulses)
  double marker_time;
  double residual = 0;  // marker time − the fitted line at the onset's EEG time
  bool outlier = false;
};

struct ResidualStats {
  double mean = 0;
  double sd = 0;
  double p99 = 0;  // of |residual|
  double max = 0;  // of |residual|
};

enum class Outcome {
  kOk,
  kNoOnsets,
  kNoMarkers,
  kNoOverlap,
  kTooFewPairs,
  kAmbiguous,
  kRefused,
  kUserChoiceUnfit,
};

enum class Decider { kNone, kUser, kOneClock, kSharedPattern };

// A pairing shifted by whole periods, scored over the recordings' overlap.
struct Candidate {
  long long shift = 0;  // periods from the chosen (or, undecided, the best) one
  double a = 0;         // LSL time of the EEG's first sample under it
  std::size_t pairs = 0;
  std::size_t unmatched = 0;  // onsets and markers in the overlap without partner
  std::size_t cost = 0;       // unmatched + irregularities not shared
  bool checked = false;       // scored by matching; else a lower bound from the runs
};

struct Alignment {
  Outcome outcome = Outcome::kOk;
  std::string reason;  // why, when not kOk
  Decider decided_by = Decider::kNone;
  std::string decision;  // what decided, in a few words
  // Marker (LSL) time at which the EEG recording's first sample was taken,
  // and marker seconds per EEG second: sample n was taken at
  // a + b × n × sample period. (The onsets lag their edges by half a sample
  // on average; `a` allows for that when the sample period is given.)
  double a = 0;
  double b = 1;
  // Standard errors of a and b: the fit's, and the clock offsets' of the
  // marker times added in quadrature; 95 % intervals.
  double a_se = 0;
  double b_se = 0;
  double a_ci95[2] = {0, 0};
  double drift_ci95_ppm[2] = {0, 0};
  double period_s = 0;
  double tolerance_s = 0;
  std::vector<Pair> pairs;  // in time order, outliers included
  std::vector<std::size_t> unmatched_onsets;
  std::vector<std::size_t> unmatched_markers;
  // Onsets far longer than the others (a cut input wire holds the output
  // high until it is mended): timed from their fall, where their marker is.
  std::vector<std::size_t> long_pulses;
  std::size_t outliers = 0;
  ResidualStats residuals;  // of the pairs that are not outliers
  // Every shift with at least kMinPairs pairs, by shift.
  std::vector<Candidate> candidates;
  // Things that change what the numbers mean.
  std::vector<std::string> warnings;

  // How much faster the EEG clock runs than the marker clock, in parts per
  // million: positive when the EEG recorder takes more samples per second
  // than its nominal rate.
  double DriftPpm() const { return (1.0 / b - 1.0) * 1e6; }
};

// Pairs the onsets with the markers and fits the mapping. Neither count nor
// start matters: pulses may be missing on either side, and the clocks may
// start anywhere.
Alignment Align(const Recordings &recordings, const Options &options = {});
Alignment Align(const std::vector<double> &onset_times, const std::vector<double> &marker_times,
                const Options &options = {});

// The outcome in a few words: "aligned", "ambiguous", "refused", ...
std::string Status(Outcome outcome);
// Why, for the user.
std::string Describe(Outcome outcome);
std::string Describe(Decider decider);

}  // namespace maroquint::align
