// Pairs the trigger onsets of an EEG recording with the markers that the
// same pulses produced, by time, and fits the mapping between the clocks:
//
//   marker time = a + b × EEG time
//
// EEG time is seconds from the recording's first sample by its nominal
// rate; marker time is on the LSL clock. No I/O: callers read the files.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace maroquint::align {

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
};

struct Pair {
  std::size_t onset;   // index into the onset times
  std::size_t marker;  // index into the marker times
  double eeg_time;
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

enum class Outcome { kOk, kNoOnsets, kNoMarkers, kNoOverlap, kTooFewPairs };

struct Alignment {
  Outcome outcome = Outcome::kOk;
  // Marker (LSL) time at which the EEG recording's first sample was taken,
  // and marker seconds per EEG second: sample n was taken at
  // a + b × n × sample period. (The onsets lag their edges by half a sample
  // on average; `a` allows for that when the sample period is given.)
  double a = 0;
  double b = 1;
  double period_s = 0;
  double tolerance_s = 0;
  std::vector<Pair> pairs;  // in time order, outliers included
  std::vector<std::size_t> unmatched_onsets;
  std::vector<std::size_t> unmatched_markers;
  std::size_t outliers = 0;
  ResidualStats residuals;  // of the pairs that are not outliers
  // Pairings shifted by whole pulse periods that explain the recordings
  // as well as the chosen one (a train without gaps repeats itself): the
  // shifts, in periods. See Align for the one chosen.
  std::vector<int> equal_shifts;

  // How much faster the EEG clock runs than the marker clock, in parts per
  // million: positive when the EEG recorder takes more samples per second
  // than its nominal rate.
  double DriftPpm() const { return (1.0 / b - 1.0) * 1e6; }
};

inline constexpr std::size_t kMinPairs = 3;

// Pairs the onsets with the markers (both in increasing time) and fits the
// mapping. Neither count nor start matters: pulses may be missing on
// either side, and the clocks may start anywhere. When the pulses come
// without gaps, a pairing shifted by whole periods can explain the
// recordings as well; then the one that pairs the ends of the recordings
// is chosen (a run's first pulses are the ones a late recording misses)
// and the others are listed in equal_shifts.
Alignment Align(const std::vector<double> &onset_times, const std::vector<double> &marker_times,
                const Options &options = {});

std::string Describe(Outcome outcome);

}  // namespace maroquint::align
