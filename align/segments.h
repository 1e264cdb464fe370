// Whether one line maps the EEG clock onto the LSL clock over the whole
// recording, and the pieces when it does not: over days a clock may step
// (a PC's clock set, an amplifier restarted into the same file) or drift
// unevenly (temperature). Pure: takes the fitted pairs, returns segments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mapping.h"

namespace maroquint::align {

struct TimePair {
  double eeg_time;     // seconds from the EEG's first sample, increasing
  double marker_time;  // LSL clock
};

struct SegmentOptions {
  // Fewer pairs than this on either side of a break: no break there.
  std::size_t min_pairs = 10;
  std::size_t max_segments = 64;
  // A break must lower the residual variance by this F statistic (two more
  // parameters), high because the break is searched for over every place.
  double min_f = 25;
};

struct SegmentFit {
  std::vector<Segment> segments;  // one unless the pairs have a structure
  // Why the line was split (empty when it was not): where, and by how much
  // the single line missed the pieces.
  std::string reason;
  // Largest distance, at a pair, between the single line and the pieces.
  double single_line_error_s = 0;
  // max_segments reached with pieces left untested: they may still bend.
  bool capped = false;
  // Segments (indices) whose neighbours on both sides run parallel and agree
  // with each other far better than with them: the line left and came
  // back, which a clock rarely does and delayed markers (a busy computer)
  // often do.
  std::vector<std::size_t> excursions;
};

// The pairs (not outliers), the EEG rate and its sample count. A break is
// taken where splitting the pairs into two lines lowers the residuals
// beyond chance (F test) and the single line misses the two by more than
// its 95 % interval; each piece is split again the same way. Each segment's
// `a` allows, as the fit's does, for onsets being seen half a sample after
// their edges on average.
SegmentFit FitSegments(const std::vector<TimePair> &pairs, double rate, std::int64_t samples,
                       const SegmentOptions &options = {});

}  // namespace maroquint::align
