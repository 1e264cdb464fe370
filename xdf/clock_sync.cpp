#include "clock_sync.h"

#include <algorithm>
#include <cmath>

namespace maroquint::xdf {
namespace {

// The recorder measures each offset as the midpoint of a few round trips;
// a congested network makes single measurements wrong by up to
// milliseconds, never by seconds. A jump beyond this, or collection times
// that go backwards, is a clock reset (the sender's host restarted its
// clock) and starts a new segment with its own line.
constexpr double kResetJumpSeconds = 1.0;

// Residuals beyond this weigh in linearly rather than squared (Huber's
// loss), so that a few disturbed measurements cannot tilt the line; it is
// the size of the scatter of good measurements on a local network.
constexpr double kHuberSeconds = 1e-4;
constexpr int kIterations = 30;

double SenderTime(const ClockOffsetMeasurement &o) {
  return o.collection_time - o.value;
}

OffsetLine FitSegment(const ClockOffsetMeasurement *begin, const ClockOffsetMeasurement *end) {
  const double n = static_cast<double>(end - begin);
  OffsetLine line;
  line.first_time = SenderTime(*begin);
  line.last_time = SenderTime(*(end - 1));
  // Centering the times keeps the normal equations well conditioned: the
  // times are large (seconds since boot) and the slope tiny (ppm).
  double mean_t = 0;
  for (auto *o = begin; o != end; ++o) mean_t += SenderTime(*o) / n;
  line.origin = mean_t;
  std::vector<double> weights(static_cast<std::size_t>(end - begin), 1.0);
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    double sw = 0, swx = 0, swy = 0, swxx = 0, swxy = 0;
    for (auto *o = begin; o != end; ++o) {
      const double w = weights[o - begin];
      const double x = SenderTime(*o) - mean_t;
      sw += w;
      swx += w * x;
      swy += w * o->value;
      swxx += w * x * x;
      swxy += w * x * o->value;
    }
    const double det = sw * swxx - swx * swx;
    if (det > 1e-12 * sw * swxx && swxx > 0) {
      line.slope = (sw * swxy - swx * swy) / det;
      line.intercept = (swy - line.slope * swx) / sw;
    } else {
      line.slope = 0;
      line.intercept = swy / sw;
    }
    for (auto *o = begin; o != end; ++o) {
      const double r = std::fabs(o->value - line.At(SenderTime(*o)));
      weights[o - begin] = r <= kHuberSeconds ? 1.0 : kHuberSeconds / r;
    }
  }
  return line;
}

}  // namespace

// The offsets are split into segments at clock resets; in each segment the
// offset is modelled as a straight line over the recorder's time, offset(t)
// = a + b·t, which covers both the constant difference between the two
// clocks and their drift. The line is fitted by iteratively reweighted
// least squares with Huber weights, so that it follows the bulk of the
// measurements, as the common XDF importers do. Each time stamp then gets
// the line's value at that time added. The line's time axis is the
// sender's clock at each measurement (collection time − offset), the clock
// the time stamps are on: the two clocks may be hours apart, and a line
// over the recorder's time evaluated at a sender's stamp would be off by
// drift × that difference.
std::vector<OffsetLine> FitClockOffsets(const std::vector<ClockOffsetMeasurement> &offsets) {
  std::vector<OffsetLine> lines;
  std::size_t start = 0;
  for (std::size_t i = 1; i <= offsets.size(); ++i) {
    const bool reset = i == offsets.size() ||
                       std::fabs(offsets[i].value - offsets[i - 1].value) > kResetJumpSeconds ||
                       offsets[i].collection_time < offsets[i - 1].collection_time;
    if (!reset) continue;
    lines.push_back(FitSegment(offsets.data() + start, offsets.data() + i));
    start = i;
  }
  return lines;
}

SynchronizedTimes Synchronize(const std::vector<double> &time_stamps,
                              const std::vector<ClockOffsetMeasurement> &offsets) {
  SynchronizedTimes result;
  result.times = time_stamps;
  std::vector<double> &stamps = result.times;
  const std::vector<OffsetLine> lines = FitClockOffsets(offsets);
  if (lines.empty()) return result;
  for (double &t : stamps) {
    // The segment whose span of collection times is nearest the stamp;
    // stamps before the first or after the last measurement use the line
    // of the segment they are closest to.
    const OffsetLine *best = &lines.front();
    double best_distance = INFINITY;
    for (const OffsetLine &line : lines) {
      const double distance = t < line.first_time  ? line.first_time - t
                              : t > line.last_time ? t - line.last_time
                                                   : 0.0;
      if (distance < best_distance) {
        best_distance = distance;
        best = &line;
      }
    }
    t += best->At(t);
  }
  return result;
}

std::vector<double> SynchronizedTimeStamps(const Stream &stream) {
  return Synchronize(stream.time_stamps, stream.clock_offsets).times;
}

}  // namespace maroquint::xdf
