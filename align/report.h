// What maroquint-align tells: the report for people, and the files for
// scripts (pairs as CSV, the result and the mapping as JSON).
#pragma once

#include <string>

#include "base/json.h"

#include "inputs.h"
#include "pairing.h"

namespace maroquint::align {

struct Sources {
  std::string eeg;      // e.g. "run1.bdf, channel Status, bit 0"
  std::string markers;  // e.g. "run1.xdf, stream Maroquint"
  double rate = 0;      // EEG samples per second (nominal)
  const std::vector<double> *onset_times = nullptr;
  const std::vector<double> *marker_times = nullptr;
  // For the message when the onsets are not the markers' pulses: the
  // channel chosen, and others that look like triggers.
  std::string channel;
  std::vector<std::string> trigger_like_channels;
  std::vector<FileWarning> file_warnings;  // of both inputs
};

// For every outcome; when not aligned, its first and last lines say why.
std::string TextReport(const Alignment &result, const Sources &sources);

// Why the result is not a mapping, in one line: the outcome, the reason,
// and for onsets unlike the markers the channels that look like triggers.
std::string Headline(const Alignment &result, const Sources &sources);

// One row per pair: onset,marker (1-based numbers), eeg_sample, eeg_time,
// marker_time, residual, outlier (0/1).
std::string PairsCsv(const Alignment &result, double rate);

// For every outcome: `status`, and the numbers that outcome establishes
// (null otherwise); see README.md for the keys.
base::Json ResultJson(const Alignment &result, const Sources &sources);

// The shortest text that reads back to the same double.
std::string Number(double value);

}  // namespace maroquint::align
