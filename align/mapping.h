// The mapping from EEG samples to LSL time, in one line or in pieces: the
// numbers of the --mapping file and what maps events onto the samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/json.h"

namespace maroquint::align {

// LSL time of EEG sample n = a + b × n / rate, for first_sample <= n <=
// last_sample. `a` is where the segment's line meets sample 0, also for a
// segment that begins later.
struct Segment {
  double a = 0;
  double b = 1;
  std::int64_t first_sample = 0;
  std::int64_t last_sample = 0;
  std::size_t pairs = 0;
  // 95 % intervals of a and of the drift, from the segment's own pairs;
  // equal to the value when unknown.
  double a_ci95[2] = {0, 0};
  double drift_ci95_ppm[2] = {0, 0};
  double residual_sd_s = 0;

  double DriftPpm() const { return (1.0 / b - 1.0) * 1e6; }
};

struct Mapping {
  double rate = 0;
  std::vector<Segment> segments;  // by sample, covering the recording

  double LslTime(double sample) const;
  // The (fractional) sample at which the EEG recorder was at `lsl_time`:
  // by the segment whose samples hold it, else by the nearest one.
  double SampleAt(double lsl_time) const;
};

// One segment over samples [0, samples).
Mapping SingleLine(double a, double b, double rate, std::int64_t samples);

// The --mapping file: the formula both ways, a, b and rate (of the first
// segment, so that readers of one line need nothing else), and every
// segment with its sample range.
base::Json MappingFileJson(const Mapping &mapping);

// A segment as the --mapping file and the result's JSON list it.
base::Json SegmentJson(const Segment &segment);

}  // namespace maroquint::align
