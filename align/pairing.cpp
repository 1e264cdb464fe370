#include "pairing.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace maroquint::align {
namespace {

struct Line {
  double a = 0;
  double b = 1;
  double At(double eeg_time) const { return a + b * eeg_time; }
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  const auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end());
  if (values.size() % 2 == 1) return *middle;
  return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

double MedianInterval(const std::vector<double> &times) {
  std::vector<double> intervals;
  for (std::size_t i = 1; i < times.size(); ++i) intervals.push_back(times[i] - times[i - 1]);
  return Median(std::move(intervals));
}

// The onset nearest to `t`.
std::size_t Nearest(const std::vector<double> &onsets, double t) {
  const auto it = std::lower_bound(onsets.begin(), onsets.end(), t);
  if (it == onsets.begin()) return 0;
  if (it == onsets.end()) return onsets.size() - 1;
  const std::size_t i = it - onsets.begin();
  return t - onsets[i - 1] <= onsets[i] - t ? i - 1 : i;
}

class Matcher {
 public:
  Matcher(const std::vector<double> &onsets, const std::vector<double> &markers, double tolerance)
      : onsets_(onsets), markers_(markers), tolerance_(tolerance) {}

  // How many of the markers [begin, end) have an onset where `line` puts it.
  std::size_t Count(const Line &line, std::size_t begin, std::size_t end) const {
    std::size_t count = 0;
    for (std::size_t j = begin; j < end; ++j) {
      const double t = (markers_[j] - line.a) / line.b;
      if (std::fabs(onsets_[Nearest(onsets_, t)] - t) * line.b <= tolerance_) ++count;
    }
    return count;
  }

  // The pairs among the markers [begin, end) under `line`, each onset in
  // one pair at most (the nearer marker wins), in time order.
  std::vector<Pair> Match(const Line &line, std::size_t begin, std::size_t end) const {
    std::vector<std::pair<double, Pair>> candidates;
    for (std::size_t j = begin; j < end; ++j) {
      const std::size_t i = Nearest(onsets_, (markers_[j] - line.a) / line.b);
      const double distance = std::fabs(markers_[j] - line.At(onsets_[i]));
      if (distance <= tolerance_) candidates.push_back({distance, {i, j, onsets_[i], markers_[j]}});
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto &x, const auto &y) { return x.first < y.first; });
    std::vector<Pair> pairs;
    std::vector<bool> taken(onsets_.size(), false);
    for (const auto &[distance, pair] : candidates) {
      if (taken[pair.onset]) continue;
      taken[pair.onset] = true;
      pairs.push_back(pair);
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair &x, const Pair &y) { return x.marker < y.marker; });
    return pairs;
  }

 private:
  const std::vector<double> &onsets_;
  const std::vector<double> &markers_;
  double tolerance_;
};

// Least squares over the pairs that are not outliers; with fewer than two
// distinct EEG times the slope stays `b`.
Line LeastSquares(const std::vector<Pair> &pairs, double b) {
  double n = 0, mean_e = 0, mean_m = 0;
  for (const Pair &p : pairs) {
    if (p.outlier) continue;
    ++n;
    mean_e += (p.eeg_time - mean_e) / n;
    mean_m += (p.marker_time - mean_m) / n;
  }
  double see = 0, sem = 0;
  for (const Pair &p : pairs) {
    if (p.outlier) continue;
    see += (p.eeg_time - mean_e) * (p.eeg_time - mean_e);
    sem += (p.eeg_time - mean_e) * (p.marker_time - mean_m);
  }
  Line line;
  line.b = see > 0 ? sem / see : b;
  line.a = mean_m - line.b * mean_e;
  return line;
}

// Least squares, then again without the pairs whose residual is far beyond
// the others', until the set of outliers settles. "Far" is measured with
// the median absolute deviation, which the outliers cannot inflate, and is
// never less than one EEG sample, the quantization of every onset.
Line RobustFit(std::vector<Pair> &pairs, const Options &options, double b) {
  for (Pair &p : pairs) p.outlier = false;
  Line line = LeastSquares(pairs, b);
  for (int iteration = 0; iteration < 20; ++iteration) {
    std::vector<double> deviations;
    for (Pair &p : pairs) {
      p.residual = p.marker_time - line.At(p.eeg_time);
      if (!p.outlier) deviations.push_back(std::fabs(p.residual));
    }
    const double sigma = 1.4826 * Median(deviations);
    const double limit = std::max({options.outlier_sigmas * sigma, options.sample_period_s, 1e-5});
    bool changed = false;
    for (Pair &p : pairs) {
      const bool outlier = std::fabs(p.residual) > limit;
      changed |= outlier != p.outlier;
      p.outlier = outlier;
    }
    if (!changed) break;
    line = LeastSquares(pairs, line.b);
  }
  for (Pair &p : pairs) p.residual = p.marker_time - line.At(p.eeg_time);
  return line;
}

ResidualStats Statistics(const std::vector<Pair> &pairs) {
  ResidualStats stats;
  std::vector<double> magnitudes;
  double n = 0, sum = 0;
  for (const Pair &p : pairs) {
    if (p.outlier) continue;
    ++n;
    sum += p.residual;
    magnitudes.push_back(std::fabs(p.residual));
  }
  if (n == 0) return stats;
  stats.mean = sum / n;
  double squares = 0;
  for (const Pair &p : pairs) {
    if (!p.outlier) squares += (p.residual - stats.mean) * (p.residual - stats.mean);
  }
  stats.sd = n > 1 ? std::sqrt(squares / (n - 1)) : 0;
  std::sort(magnitudes.begin(), magnitudes.end());
  // Nearest rank.
  const std::size_t rank = static_cast<std::size_t>(std::ceil(0.99 * magnitudes.size()));
  stats.p99 = magnitudes[std::max<std::size_t>(rank, 1) - 1];
  stats.max = magnitudes.back();
  return stats;
}

struct ShiftScore {
  long long shift = 0;
  std::size_t pairs = 0;
  double sd = 0;  // of the pairs' residuals, EEG seconds
  std::size_t last_onset = 0, last_marker = 0;
};

// Numbers the onsets by whole periods. Each onset is numbered from the
// last one that fell on the period's grid, so that gaps keep the numbering
// and an extra onset (off the grid) neither breaks it nor takes part in
// it; a line through the numbered onsets then numbers any time. The median
// interval is quantized to the EEG's samples, too coarse for numbering
// hours of pulses from the first.
class PulseNumbers {
 public:
  PulseNumbers(const std::vector<double> &onsets, double period, double tolerance)
      : onsets_(onsets), period_(period), tolerance_(tolerance), origin_(onsets.front()) {
    std::vector<long long> numbers(onsets.size(), 0);
    std::size_t reference = 0;
    double n = 0, mean_q = 0, mean_t = 0, sqq = 0, sqt = 0;
    for (std::size_t i = 0; i < onsets.size(); ++i) {
      const double x = (onsets[i] - onsets[reference]) / period;
      numbers[i] = numbers[reference] + std::llround(x);
      if (std::fabs(x - std::round(x)) >= 0.25) continue;
      reference = i;
      ++n;
      const double dq = static_cast<double>(numbers[i]) - mean_q;
      const double dt = onsets[i] - mean_t;
      mean_q += dq / n;
      mean_t += dt / n;
      sqq += dq * (static_cast<double>(numbers[i]) - mean_q);
      sqt += dq * (onsets[i] - mean_t);
    }
    if (sqq > 0) {
      period_ = sqt / sqq;
      origin_ = mean_t - period_ * mean_q;
    }
    first_ = *std::min_element(numbers.begin(), numbers.end());
    last_ = *std::max_element(numbers.begin(), numbers.end());
    slots_.assign(static_cast<std::size_t>(last_ - first_ + 1), {});
    for (std::size_t i = 0; i < onsets.size(); ++i) {
      slots_[static_cast<std::size_t>(numbers[i] - first_)].push_back(i);
    }
  }

  long long Number(double t) const { return std::llround((t - origin_) / period_); }
  long long first() const { return first_; }
  long long last() const { return last_; }
  double period() const { return period_; }

  // Pairs each marker (EEG time `predicted`, number `r`) with the onset
  // nearest it among the numbers around r + shift, within the tolerance.
  ShiftScore Score(const std::vector<double> &predicted, const std::vector<long long> &r,
                   long long shift) const {
    ShiftScore score;
    score.shift = shift;
    double n = 0, mean = 0, squares = 0;
    const double offset = static_cast<double>(shift) * period_;
    for (std::size_t j = 0; j < predicted.size(); ++j) {
      double best = INFINITY;
      std::size_t best_onset = 0;
      for (long long q = r[j] + shift - 1; q <= r[j] + shift + 1; ++q) {
        if (q < first_ || q > last_) continue;
        for (std::size_t i : slots_[static_cast<std::size_t>(q - first_)]) {
          const double d = onsets_[i] - predicted[j] - offset;
          if (std::fabs(d) < std::fabs(best)) best = d, best_onset = i;
        }
      }
      if (!(std::fabs(best) <= tolerance_)) continue;
      ++n;
      const double delta = best - mean;
      mean += delta / n;
      squares += delta * (best - mean);
      score.last_onset = best_onset;
      score.last_marker = j;
    }
    score.pairs = static_cast<std::size_t>(n);
    score.sd = n > 1 ? std::sqrt(squares / (n - 1)) : 0;
    return score;
  }

 private:
  const std::vector<double> &onsets_;
  double period_;
  double tolerance_;
  double origin_;
  long long first_ = 0, last_ = 0;
  std::vector<std::vector<std::size_t>> slots_;
};

}  // namespace

// The search, in three steps:
//  1. A first offset, local. Around a few anchor markers spread over the
//     recording, every onset is tried as the anchor's partner; an offset
//     scores the markers within a short window (short enough that no drift
//     can move them out of the tolerance) that it puts onto an onset.
//  2. Growing the window. From the best offset, the pairs of a window are
//     fitted (offset and drift) and the window grows fourfold, each fit
//     predicting the next window well enough, until it holds every marker.
//  3. Whole periods. A train of equal intervals fits equally well shifted
//     by a period; the shifts are scored over the whole recording and the
//     best one kept (see pairing.h for ties).
// The final pairs are fitted with outliers rejected.
Alignment Align(const std::vector<double> &onset_times, const std::vector<double> &marker_times,
                const Options &options) {
  Alignment result;
  if (onset_times.empty()) {
    result.outcome = Outcome::kNoOnsets;
    return result;
  }
  if (marker_times.empty()) {
    result.outcome = Outcome::kNoMarkers;
    return result;
  }
  const std::vector<double> &e = onset_times;
  const std::vector<double> &m = marker_times;
  double period = MedianInterval(e.size() > 1 ? e : m);
  if (!(period > 0)) period = 1.0;
  const double tolerance =
      options.tolerance_s > 0 ? options.tolerance_s : std::min(0.1, period / 4);
  result.period_s = period;
  result.tolerance_s = tolerance;
  const Matcher matcher(e, m, tolerance);
  const double max_drift = options.max_drift_ppm * 1e-6;

  // 1. Local offset.
  const double window = std::max(tolerance / 2 / max_drift, 4 * period);
  constexpr std::size_t kAnchors = 3;
  constexpr std::size_t kWindowMarkers = 25;  // on each side of an anchor
  std::size_t best_score = 0;
  std::size_t best_anchor = 0;
  double best_offset = 0;
  for (std::size_t k = 0; k < std::min(kAnchors, m.size()); ++k) {
    const std::size_t anchor = m.size() == 1 ? 0 : k * (m.size() - 1) / (kAnchors - 1);
    std::size_t begin = anchor >= kWindowMarkers ? anchor - kWindowMarkers : 0;
    std::size_t end = std::min(m.size(), anchor + kWindowMarkers + 1);
    while (m[anchor] - m[begin] > window) ++begin;
    while (m[end - 1] - m[anchor] > window) --end;
    for (const double onset : e) {
      const Line line{m[anchor] - onset, 1.0};
      const std::size_t score = matcher.Count(line, begin, end);
      if (score > best_score) {
        best_score = score;
        best_anchor = anchor;
        best_offset = line.a;
      }
    }
  }

  // 2. Growing window.
  Line line{best_offset, 1.0};
  for (double span = window;; span *= 4) {
    const auto begin = std::lower_bound(m.begin(), m.end(), m[best_anchor] - span) - m.begin();
    const auto end = std::upper_bound(m.begin(), m.end(), m[best_anchor] + span) - m.begin();
    std::vector<Pair> pairs = matcher.Match(line, begin, end);
    if (pairs.size() >= 2) {
      const Line fitted = RobustFit(pairs, options, line.b);
      // A few pairs close together can tilt the line beyond any real
      // drift; the offset alone is kept then.
      if (std::fabs(fitted.b - 1) <= max_drift) {
        line = fitted;
      } else {
        std::vector<double> offsets;
        for (const Pair &p : pairs) offsets.push_back(p.marker_time - line.b * p.eeg_time);
        line.a = Median(std::move(offsets));
      }
    }
    if (begin == 0 && static_cast<std::size_t>(end) == m.size()) break;
  }

  // 3. Whole periods. Onsets and markers (the latter through the line) get
  // pulse numbers, so that a shift by k periods pairs marker number r with
  // onset number r + k. A shift can pair no more markers than fall into
  // the onsets' range of numbers under it; shifts are scored in order of
  // that bound until it falls below the best score so far.
  const PulseNumbers numbers(e, period, tolerance);
  std::vector<double> predicted(m.size());
  std::vector<long long> r(m.size());
  for (std::size_t j = 0; j < m.size(); ++j) {
    predicted[j] = (m[j] - line.a) / line.b;
    r[j] = numbers.Number(predicted[j]);
  }
  std::vector<long long> sorted_r = r;
  std::sort(sorted_r.begin(), sorted_r.end());
  struct Bound {
    long long shift;
    std::size_t markers;
  };
  std::vector<Bound> bounds;
  for (long long k = numbers.first() - sorted_r.back() - 1;
       k <= numbers.last() - sorted_r.front() + 1; ++k) {
    const auto low = std::lower_bound(sorted_r.begin(), sorted_r.end(), numbers.first() - k);
    const auto high = std::upper_bound(sorted_r.begin(), sorted_r.end(), numbers.last() - k);
    if (high > low) bounds.push_back({k, static_cast<std::size_t>(high - low)});
  }
  std::stable_sort(bounds.begin(), bounds.end(),
                   [](const Bound &x, const Bound &y) { return x.markers > y.markers; });
  // Random losses on either side make equally good shifts differ by a few
  // pairs; those within 1 % of the best count are candidates (only the
  // best, below a hundred pairs).
  auto tie = [](std::size_t best) { return best - best / 100; };
  std::vector<ShiftScore> scores;
  std::size_t top = 0;
  for (const Bound &bound : bounds) {
    if (top > 0 && bound.markers < tie(top)) break;
    const ShiftScore score = numbers.Score(predicted, r, bound.shift);
    top = std::max(top, score.pairs);
    scores.push_back(score);
  }
  if (top == 0) {
    result.outcome = Outcome::kNoOverlap;
    result.unmatched_onsets.resize(e.size());
    for (std::size_t i = 0; i < e.size(); ++i) result.unmatched_onsets[i] = i;
    result.unmatched_markers.resize(m.size());
    for (std::size_t j = 0; j < m.size(); ++j) result.unmatched_markers[j] = j;
    return result;
  }
  // When the pulses' intervals vary (a loop paced in software, a late
  // sample clock), both recordings share that variation only under the
  // true pairing: its residuals are clearly the smallest. Otherwise the
  // pairing that joins the ends of the recordings is taken, and the rest
  // reported as equal.
  double best_sd = INFINITY;
  for (const ShiftScore &score : scores) {
    if (score.pairs >= tie(top) && score.pairs > 1) best_sd = std::min(best_sd, score.sd);
  }
  const double floor_sd = std::max(options.sample_period_s, 1e-6) / 4;
  long long chosen = 0;
  std::size_t chosen_loose_ends = std::numeric_limits<std::size_t>::max();
  std::vector<long long> equal;
  for (const ShiftScore &score : scores) {
    if (score.pairs < tie(top) || score.pairs < 2 || score.sd > 1.5 * std::max(best_sd, floor_sd)) {
      continue;
    }
    equal.push_back(score.shift);
    const std::size_t loose_ends =
        (e.size() - 1 - score.last_onset) + (m.size() - 1 - score.last_marker);
    if (loose_ends < chosen_loose_ends ||
        (loose_ends == chosen_loose_ends && std::llabs(score.shift) < std::llabs(chosen))) {
      chosen_loose_ends = loose_ends;
      chosen = score.shift;
    }
  }
  for (long long k : equal) {
    if (k != chosen) result.equal_shifts.push_back(static_cast<int>(k - chosen));
  }
  std::sort(result.equal_shifts.begin(), result.equal_shifts.end());
  line.a -= line.b * static_cast<double>(chosen) * numbers.period();

  // Final pairs and fit; the fit moves the line a little, so match again.
  for (int round = 0; round < 2; ++round) {
    result.pairs = matcher.Match(line, 0, m.size());
    if (result.pairs.size() >= 2) line = RobustFit(result.pairs, options, line.b);
  }
  // An edge is seen at the first sample at or after it, half a sample
  // after it on average: the fitted line maps onsets to their edges, and
  // a sample's own time is half a sample later.
  result.a = line.a + line.b * options.sample_period_s / 2;
  result.b = line.b;
  std::vector<bool> onset_paired(e.size(), false), marker_paired(m.size(), false);
  for (const Pair &p : result.pairs) {
    onset_paired[p.onset] = marker_paired[p.marker] = true;
    result.outliers += p.outlier;
  }
  for (std::size_t i = 0; i < e.size(); ++i) {
    if (!onset_paired[i]) result.unmatched_onsets.push_back(i);
  }
  for (std::size_t j = 0; j < m.size(); ++j) {
    if (!marker_paired[j]) result.unmatched_markers.push_back(j);
  }
  result.residuals = Statistics(result.pairs);
  if (result.pairs.size() - result.outliers < kMinPairs) result.outcome = Outcome::kTooFewPairs;
  return result;
}

std::string Describe(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return "aligned";
    case Outcome::kNoOnsets:
      return "the EEG recording has no trigger onset on that channel and bit";
    case Outcome::kNoMarkers:
      return "the marker recording has no marker";
    case Outcome::kNoOverlap:
      return "no onset falls on a marker: the recordings do not overlap in time";
    case Outcome::kTooFewPairs:
      return "too few onsets pair with a marker to fit the mapping (at least " +
             std::to_string(kMinPairs) + " needed)";
  }
  return "unknown";
}

}  // namespace maroquint::align
