// Puts a stream's time stamps on the recorder's clock using the clock
// offsets recorded with it.
#pragma once

#include <vector>

#include "reader.h"

namespace maroquint::xdf {

// offset(t) = intercept + slope × (t − origin), valid for one clock segment.
struct OffsetLine {
  double origin = 0;
  double intercept = 0;
  double slope = 0;
  // The span of the segment's measurements on the sender's clock, the axis
  // of the line.
  double first_time = 0;
  double last_time = 0;
  // Standard errors of the intercept (at origin, where it is independent
  // of the slope) and of the slope, widened for the measurements'
  // correlation and their small number. Where no slope is established the
  // slope applied is 0 and slope_se covers the drift the measurements
  // leave open.
  double intercept_se = 0;
  double slope_se = 0;

  double At(double t) const { return intercept + slope * (t - origin); }
  double StandardErrorAt(double t) const;
};

// The lines fitted to the offsets, one per segment between clock resets;
// empty when the stream has no offsets.
std::vector<OffsetLine> FitClockOffsets(const std::vector<ClockOffsetMeasurement> &offsets);

// Time stamps on the recorder's clock, and how well the offsets applied to
// them are known.
struct SynchronizedTimes {
  std::vector<double> times;
  // Standard errors of the applied offset at the middle of the stamps, and
  // of its slope (seconds per second); 0 without offsets. With several
  // clock segments, the largest of the segments the stamps fall in.
  double offset_se_s = 0;
  double slope_se = 0;
};

// The time stamps plus the fitted offset at each: the samples on the
// recorder's clock. Without offsets, the time stamps as recorded.
SynchronizedTimes Synchronize(const std::vector<double> &time_stamps,
                              const std::vector<ClockOffsetMeasurement> &offsets);

// Synchronize(stream.time_stamps, stream.clock_offsets).times.
std::vector<double> SynchronizedTimeStamps(const Stream &stream);

}  // namespace maroquint::xdf
