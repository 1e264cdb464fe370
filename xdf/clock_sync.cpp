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
// the size of the scatter of good measurements on a local network, and the
// scatter assumed for a segment of a single measurement.
constexpr double kHuberSeconds = 1e-4;
constexpr int kIterations = 30;

// A slope is applied only this many of its standard errors away from zero:
// offsets on one host wander by tens of microseconds within seconds, and a
// line through a minute of them would pass that wander on as a drift of a
// ppm or more.
constexpr double kSlopeEstablished = 4.0;
// Offsets are stored to fractions of a microsecond at best; exact synthetic
// offsets must not claim more.
constexpr double kScatterFloorSeconds = 1e-7;
// The drift left open where the measurements cannot show one (fewer than
// three, or all at one time): quartz clocks differ by up to 100 ppm.
constexpr double kUnknownSlopeSe = 100e-6;
// Beyond this the measurements would be one, however many.
constexpr double kMaxCorrelation = 0.9;

double SenderTime(const ClockOffsetMeasurement &o) {
  return o.collection_time - o.value;
}

// The two-sided 95 % quantile of Student's t over the normal one's 1.96:
// standard errors widened by it make the usual ±1.96 SE interval hold for
// few effective measurements.
double StudentWidening(double dof) {
  static constexpr double kQuantiles[] = {12.706, 4.303, 3.182, 2.776, 2.571,
                                          2.447,  2.365, 2.306, 2.262, 2.228};
  constexpr double kZ = 1.959964;
  if (dof <= 1) return kQuantiles[0] / kZ;
  if (dof < 10) {
    const int low = static_cast<int>(dof);
    const double f = dof - low;
    return ((1 - f) * kQuantiles[low - 1] + f * kQuantiles[low]) / kZ;
  }
  // Cornish-Fisher expansion, within 0.2 % from 10 degrees of freedom on.
  const double z3 = kZ * kZ * kZ;
  const double z5 = z3 * kZ * kZ;
  return (kZ + (z3 + kZ) / (4 * dof) + (5 * z5 + 16 * z3 + 3 * kZ) / (96 * dof * dof)) / kZ;
}

struct Points {
  std::vector<double> x;  // sender time, relative to the first measurement's
  std::vector<double> y;  // offset
  double x0 = 0;
};

struct Fit {
  double origin = 0;  // on the x of Points, the weighted mean
  double intercept = 0;
  double slope = 0;
  double sum_weights = 0;
  double sxx = 0;  // weighted, about origin
  std::vector<double> weights;

  double At(double x) const { return intercept + slope * (x - origin); }
};

// Iteratively reweighted least squares with Huber's weights: a line, or a
// constant, through the bulk of the points.
Fit HuberFit(const Points &p, bool with_slope) {
  const std::size_t n = p.x.size();
  Fit fit;
  fit.weights.assign(n, 1.0);
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    double sw = 0, swx = 0, swy = 0;
    for (std::size_t i = 0; i < n; ++i) {
      sw += fit.weights[i];
      swx += fit.weights[i] * p.x[i];
      swy += fit.weights[i] * p.y[i];
    }
    fit.sum_weights = sw;
    fit.origin = swx / sw;
    fit.intercept = swy / sw;
    double sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double dx = p.x[i] - fit.origin;
      sxx += fit.weights[i] * dx * dx;
      sxy += fit.weights[i] * dx * (p.y[i] - fit.intercept);
    }
    fit.sxx = sxx;
    fit.slope = with_slope && sxx > 0 ? sxy / sxx : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double r = std::fabs(p.y[i] - fit.At(p.x[i]));
      fit.weights[i] = r <= kHuberSeconds ? 1.0 : kHuberSeconds / r;
    }
  }
  return fit;
}

// The residuals' variance, and how many independent measurements they are
// worth: consecutive offsets wander together, so their first-order
// autocorrelation rho makes n of them count as n (1 − rho) / (1 + rho).
struct Scatter {
  double variance = 0;
  double inflation = 1;  // (1 + rho) / (1 − rho)
  double dof = 1;        // effective measurements minus fitted parameters
};

Scatter MeasureScatter(const Points &p, const Fit &fit, int parameters) {
  const std::size_t n = p.x.size();
  double weighted_squares = 0, clipped_squares = 0, clipped_lagged = 0, previous = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double r = p.y[i] - fit.At(p.x[i]);
    weighted_squares += fit.weights[i] * r * r;
    const double clipped = fit.weights[i] * r;
    clipped_squares += clipped * clipped;
    if (i > 0) clipped_lagged += clipped * previous;
    previous = clipped;
  }
  Scatter s;
  const double dn = static_cast<double>(n);
  s.variance = std::max(weighted_squares / std::max(1.0, dn - parameters),
                        kScatterFloorSeconds * kScatterFloorSeconds);
  // The estimate of rho from n residuals falls short by about
  // (1 + 3 rho) / n; too few residuals to estimate it count as correlated.
  double rho = kMaxCorrelation;
  if (n > 3) {
    const double measured = clipped_squares > 0 ? clipped_lagged / clipped_squares : 0.0;
    rho = std::clamp((dn * measured + 1) / (dn - 3), 0.0, kMaxCorrelation);
  }
  s.inflation = (1 + rho) / (1 - rho);
  // Two degrees of freedom at least: the correlation is bounded by
  // kMaxCorrelation, not measured, where fewer would remain, and Student's
  // quantile for one would multiply that guess by 6.5.
  s.dof = std::max(2.0, dn / s.inflation - parameters);
  return s;
}

// The standard error of a mean (information: the sum of weights) or of a
// slope (the weighted sum of squares of the times).
double StandardError(const Scatter &s, double information) {
  return std::sqrt(s.variance * s.inflation / information) * StudentWidening(s.dof);
}

OffsetLine Line(const Points &p, const Fit &fit) {
  OffsetLine line;
  line.origin = p.x0 + fit.origin;
  line.intercept = fit.intercept;
  line.slope = fit.slope;
  line.first_time = p.x0 + p.x.front();
  line.last_time = p.x0 + p.x.back();
  return line;
}

OffsetLine FitSegment(const ClockOffsetMeasurement *begin, const ClockOffsetMeasurement *end) {
  Points p;
  p.x0 = SenderTime(*begin);
  for (auto *o = begin; o != end; ++o) {
    // Centred times keep the sums well conditioned: the times are large
    // (seconds since boot) and the slope tiny (ppm).
    p.x.push_back(SenderTime(*o) - p.x0);
    p.y.push_back(o->value);
  }
  const Fit constant = HuberFit(p, false);
  OffsetLine line = Line(p, constant);
  line.slope_se = kUnknownSlopeSe;
  if (p.x.size() == 1) {
    line.intercept_se = kHuberSeconds;
    return line;
  }
  const Scatter constant_scatter = MeasureScatter(p, constant, 1);
  line.intercept_se = StandardError(constant_scatter, constant.sum_weights);
  if (p.x.size() < 3 || !(constant.sxx > 0)) return line;

  const Fit sloped = HuberFit(p, true);
  const Scatter sloped_scatter = MeasureScatter(p, sloped, 2);
  const double slope_se = StandardError(sloped_scatter, sloped.sxx);
  if (std::fabs(sloped.slope) > kSlopeEstablished * slope_se) {
    line = Line(p, sloped);
    line.intercept_se = StandardError(sloped_scatter, sloped.sum_weights);
    line.slope_se = slope_se;
    return line;
  }
  // No slope applied: the drift the measurements leave open is the one
  // they show plus its uncertainty.
  line.slope_se = std::hypot(sloped.slope, slope_se);
  return line;
}

}  // namespace

double OffsetLine::StandardErrorAt(double t) const {
  return std::hypot(intercept_se, (t - origin) * slope_se);
}

// The offsets are split into segments at clock resets. In each segment the
// offset is a constant, or a straight line over time where the offsets
// establish a slope beyond its uncertainty, as the common XDF importers fit
// for the drift between two hosts' clocks; both are fitted by iteratively
// reweighted least squares with Huber weights, so that they follow the
// bulk of the measurements. Each time stamp then gets the segment's value
// at that time added. The time axis is the sender's clock at each
// measurement (collection time − offset), the clock the time stamps are
// on: the two clocks may be hours apart, and a line over the recorder's
// time evaluated at a sender's stamp would be off by drift × that
// difference.
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
  const std::vector<OffsetLine> lines = FitClockOffsets(offsets);
  if (lines.empty()) return result;
  // Per segment, the first and last stamp it is applied to.
  std::vector<double> earliest(lines.size(), INFINITY);
  std::vector<double> latest(lines.size(), -INFINITY);
  for (double &t : result.times) {
    // The segment whose span of collection times is nearest the stamp;
    // stamps before the first or after the last measurement use the line
    // of the segment they are closest to.
    std::size_t best = 0;
    double best_distance = INFINITY;
    for (std::size_t k = 0; k < lines.size(); ++k) {
      const OffsetLine &line = lines[k];
      const double distance = t < line.first_time  ? line.first_time - t
                              : t > line.last_time ? t - line.last_time
                                                   : 0.0;
      if (distance < best_distance) {
        best_distance = distance;
        best = k;
      }
    }
    earliest[best] = std::min(earliest[best], t);
    latest[best] = std::max(latest[best], t);
    t += lines[best].At(t);
  }
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const double middle =
        earliest[k] <= latest[k] ? (earliest[k] + latest[k]) / 2 : lines[k].origin;
    if (time_stamps.empty() || earliest[k] <= latest[k]) {
      result.offset_se_s = std::max(result.offset_se_s, lines[k].StandardErrorAt(middle));
      result.slope_se = std::max(result.slope_se, lines[k].slope_se);
    }
  }
  return result;
}

std::vector<double> SynchronizedTimeStamps(const Stream &stream) {
  return Synchronize(stream.time_stamps, stream.clock_offsets).times;
}

}  // namespace maroquint::xdf
