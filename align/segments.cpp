#include "segments.h"

#include <algorithm>
#include <cmath>

#include "base/text.h"

namespace maroquint::align {
namespace {

// Least squares line through points, centred for precision.
struct Line {
  double x0 = 0, y0 = 0;  // means
  double slope = 0;
  double sxx = 0;
  double sse = 0;
  std::size_t n = 0;

  double At(double x) const { return y0 + slope * (x - x0); }
  double Variance() const { return n > 2 ? sse / static_cast<double>(n - 2) : 0; }
  // Standard error of the line's value at x.
  double Se(double x) const {
    if (n < 3 || !(sxx > 0)) return 0;
    return std::sqrt(Variance() * (1.0 / static_cast<double>(n) + (x - x0) * (x - x0) / sxx));
  }
};

Line Fit(const std::vector<TimePair> &p, std::size_t from, std::size_t to) {
  Line line;
  line.n = to - from;
  if (line.n == 0) return line;
  // Relative to the first point, so that LSL times of 1e5 s keep their
  // microseconds.
  const double xr = p[from].eeg_time, yr = p[from].marker_time;
  double sx = 0, sy = 0;
  for (std::size_t i = from; i < to; ++i) {
    sx += p[i].eeg_time - xr;
    sy += p[i].marker_time - yr;
  }
  const double n = static_cast<double>(line.n);
  const double mx = sx / n, my = sy / n;
  double sxy = 0;
  for (std::size_t i = from; i < to; ++i) {
    const double dx = p[i].eeg_time - xr - mx;
    line.sxx += dx * dx;
    sxy += dx * (p[i].marker_time - yr - my);
  }
  line.slope = line.sxx > 0 ? sxy / line.sxx : 1;
  line.x0 = xr + mx;
  line.y0 = yr + my;
  for (std::size_t i = from; i < to; ++i) {
    const double r = p[i].marker_time - line.At(p[i].eeg_time);
    line.sse += r * r;
  }
  return line;
}

// Where a piece splits into two lines, and their squared residuals.
struct Break {
  std::size_t k = 0;  // pairs [from, k) and [k, to); 0: no split fits better than one line
  double sse_two = 0;
};

// The place where two lines fit best, by running sums of the residuals of
// the whole piece's line (small numbers).
Break BestBreak(const std::vector<TimePair> &p, std::size_t from, std::size_t to, const Line &whole,
                std::size_t min_pairs) {
  const std::size_t n = to - from;
  std::vector<double> x(n), r(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = p[from + i].eeg_time - whole.x0;
    r[i] = p[from + i].marker_time - whole.At(p[from + i].eeg_time);
  }
  struct Sums {
    double n = 0, x = 0, r = 0, xx = 0, xr = 0, rr = 0;
    void Add(double xi, double ri) {
      n += 1;
      x += xi;
      r += ri;
      xx += xi * xi;
      xr += xi * ri;
      rr += ri * ri;
    }
    double Sse() const {
      if (n < 2) return 0;
      const double sxx = xx - x * x / n, sxr = xr - x * r / n, srr = rr - r * r / n;
      return std::max(0.0, sxx > 0 ? srr - sxr * sxr / sxx : srr);
    }
  };
  Sums total;
  for (std::size_t i = 0; i < n; ++i) total.Add(x[i], r[i]);
  Sums left;
  Break best;
  best.sse_two = whole.sse;
  for (std::size_t i = 0; i + min_pairs < n; ++i) {
    left.Add(x[i], r[i]);
    if (i + 1 < min_pairs) continue;
    const Sums right{total.n - left.n,   total.x - left.x,   total.r - left.r,
                     total.xx - left.xx, total.xr - left.xr, total.rr - left.rr};
    const double sse = left.Sse() + right.Sse();
    if (sse < best.sse_two) {
      best.sse_two = sse;
      best.k = from + i + 1;
    }
  }
  return best;
}

void Split(const std::vector<TimePair> &p, std::size_t from, std::size_t to,
           const SegmentOptions &options, std::vector<std::size_t> &breaks, double &error,
           std::string &reason, bool &capped) {
  if (to - from < 2 * options.min_pairs) return;
  if (breaks.size() + 1 >= options.max_segments) {
    capped = true;
    return;
  }
  const Line whole = Fit(p, from, to);
  const auto [k, sse_two] = BestBreak(p, from, to, whole, options.min_pairs);
  if (k == 0) return;
  const double dof = static_cast<double>(to - from) - 4;
  const double f = sse_two > 0 ? (whole.sse - sse_two) / 2 / (sse_two / dof) : HUGE_VAL;
  if (!(f > options.min_f)) return;
  // Does the single line miss the pieces by more than its own interval?
  const Line left = Fit(p, from, k), right = Fit(p, k, to);
  double miss = 0, beyond = 0;
  for (std::size_t i = from; i < to; ++i) {
    const double x = p[i].eeg_time;
    const double d = std::fabs(whole.At(x) - (i < k ? left : right).At(x));
    miss = std::max(miss, d);
    beyond = std::max(beyond, d - 1.96 * whole.Se(x));
  }
  if (!(beyond > 0)) return;
  error = std::max(error, miss);
  reason += base::Format("%sbreak at EEG %.3f s (F = %.3g, the single line off by %.3f ms)",
                         reason.empty() ? "" : "; ", 0.5 * (p[k - 1].eeg_time + p[k].eeg_time), f,
                         miss * 1e3);
  breaks.push_back(k);
  Split(p, from, k, options, breaks, error, reason, capped);
  Split(p, k, to, options, breaks, error, reason, capped);
}

Segment SegmentOf(const std::vector<TimePair> &p, std::size_t from, std::size_t to, double rate) {
  const Line line = Fit(p, from, to);
  Segment s;
  s.b = line.slope;
  // As the fit's own: the line maps onsets to their edges, and an onset
  // is seen half a sample after its edge on average.
  s.a = line.At(0) + s.b * 0.5 / rate;
  s.pairs = line.n;
  s.residual_sd_s = std::sqrt(line.Variance());
  const double a_se = line.Se(0);
  const double b_se = line.sxx > 0 ? std::sqrt(line.Variance() / line.sxx) : 0;
  s.a_ci95[0] = s.a - 1.96 * a_se;
  s.a_ci95[1] = s.a + 1.96 * a_se;
  // Drift falls as b rises.
  s.drift_ci95_ppm[0] = (1.0 / (s.b + 1.96 * b_se) - 1.0) * 1e6;
  s.drift_ci95_ppm[1] = (1.0 / (s.b - 1.96 * b_se) - 1.0) * 1e6;
  return s;
}

}  // namespace

SegmentFit FitSegments(const std::vector<TimePair> &pairs, double rate, std::int64_t samples,
                       const SegmentOptions &options) {
  SegmentFit fit;
  if (pairs.size() < 2 || !(rate > 0)) return fit;
  std::vector<std::size_t> breaks;
  Split(pairs, 0, pairs.size(), options, breaks, fit.single_line_error_s, fit.reason, fit.capped);
  std::sort(breaks.begin(), breaks.end());
  breaks.insert(breaks.begin(), 0);
  breaks.push_back(pairs.size());
  const std::int64_t last = samples > 0 ? samples - 1 : 0;
  for (std::size_t k = 0; k + 1 < breaks.size(); ++k) {
    Segment s = SegmentOf(pairs, breaks[k], breaks[k + 1], rate);
    // A piece ends halfway between its last pair and the next piece's first.
    s.first_sample =
        k == 0 ? 0
               : std::llround(0.5 * (pairs[breaks[k] - 1].eeg_time + pairs[breaks[k]].eeg_time) *
                              rate);
    s.last_sample =
        k + 2 == breaks.size()
            ? last
            : std::llround(0.5 *
                           (pairs[breaks[k + 1] - 1].eeg_time + pairs[breaks[k + 1]].eeg_time) *
                           rate) -
                  1;
    fit.segments.push_back(s);
  }
  for (std::size_t k = 1; k + 1 < fit.segments.size(); ++k) {
    const Segment &before = fit.segments[k - 1], &middle = fit.segments[k],
                  &after = fit.segments[k + 1];
    const double centre = 0.5 * static_cast<double>(middle.first_sample + middle.last_sample);
    const auto at = [&](const Segment &s) { return s.a + s.b * centre / rate; };
    const double neighbours = std::fabs(at(before) - at(after));
    const double departure = std::fabs(at(middle) - 0.5 * (at(before) + at(after)));
    // A curve's top also leaves and returns, but its sides slope apart.
    const bool parallel = before.drift_ci95_ppm[0] <= after.drift_ci95_ppm[1] &&
                          after.drift_ci95_ppm[0] <= before.drift_ci95_ppm[1];
    if (parallel && neighbours < 0.5 * departure) fit.excursions.push_back(k);
  }
  return fit;
}

}  // namespace maroquint::align
