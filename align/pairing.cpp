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
//     by a period; every shift is scored over the whole recording and the
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
  constexpr std::size_t kAnchors = 5;
  constexpr std::size_t kWindowMarkers = 50;  // on each side of an anchor
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

  // 3. Whole periods. Scoring every possible shift costs markers × shifts;
  // beyond a budget only the shifts nearest the first guess are tried.
  const double eeg_period = period;
  const double first_predicted = (m.front() - line.a) / line.b;
  const double last_predicted = (m.back() - line.a) / line.b;
  long low = static_cast<long>(std::floor((e.front() - last_predicted) / eeg_period)) - 1;
  long high = static_cast<long>(std::ceil((e.back() - first_predicted) / eeg_period)) + 1;
  const long reach = static_cast<long>(std::max<std::size_t>(50, 200000000 / m.size()));
  low = std::max(low, -reach);
  high = std::min(high, reach);
  std::vector<std::pair<long, std::size_t>> scores;
  std::size_t top = 0;
  for (long k = low; k <= high; ++k) {
    const Line shifted{line.a - line.b * k * eeg_period, line.b};
    const std::size_t score = matcher.Count(shifted, 0, m.size());
    scores.push_back({k, score});
    top = std::max(top, score);
  }
  if (top == 0) {
    result.outcome = Outcome::kNoOverlap;
    result.unmatched_onsets.resize(e.size());
    for (std::size_t i = 0; i < e.size(); ++i) result.unmatched_onsets[i] = i;
    result.unmatched_markers.resize(m.size());
    for (std::size_t j = 0; j < m.size(); ++j) result.unmatched_markers[j] = j;
    return result;
  }
  // Random losses on either side make equally good shifts differ by a few
  // pairs; those within 1 % of the best count are candidates. When the
  // pulses' intervals vary (a loop paced in software, a late sample clock),
  // both recordings share that variation only under the true pairing: its
  // residuals are clearly the smallest. Otherwise the pairing that joins
  // the ends of the recordings is taken, and the rest reported as equal.
  const std::size_t tie = top - std::min(top, std::max<std::size_t>(1, top / 100));
  struct Candidate {
    long shift;
    double sd;
    std::size_t loose_ends;
  };
  std::vector<Candidate> candidates;
  for (const auto &[k, score] : scores) {
    if (score < tie || score == 0) continue;
    const Line shifted{line.a - line.b * k * eeg_period, line.b};
    std::vector<Pair> pairs = matcher.Match(shifted, 0, m.size());
    if (pairs.size() < 2) continue;
    RobustFit(pairs, options, line.b);
    candidates.push_back(
        {k, Statistics(pairs).sd,
         (e.size() - 1 - pairs.back().onset) + (m.size() - 1 - pairs.back().marker)});
  }
  double best_sd = INFINITY;
  for (const Candidate &c : candidates) best_sd = std::min(best_sd, c.sd);
  const double floor_sd = std::max(options.sample_period_s, 1e-6) / 4;
  long chosen = 0;
  std::size_t chosen_loose_ends = std::numeric_limits<std::size_t>::max();
  std::vector<long> equal;
  for (const Candidate &c : candidates) {
    if (c.sd > 1.5 * std::max(best_sd, floor_sd)) continue;
    equal.push_back(c.shift);
    if (c.loose_ends < chosen_loose_ends ||
        (c.loose_ends == chosen_loose_ends && std::labs(c.shift) < std::labs(chosen))) {
      chosen_loose_ends = c.loose_ends;
      chosen = c.shift;
    }
  }
  for (long k : equal) {
    if (k != chosen) result.equal_shifts.push_back(static_cast<int>(k - chosen));
  }
  line.a -= line.b * chosen * eeg_period;

  // Final pairs and fit; the fit moves the line a little, so match again.
  for (int round = 0; round < 2; ++round) {
    result.pairs = matcher.Match(line, 0, m.size());
    if (result.pairs.size() >= 2) line = RobustFit(result.pairs, options, line.b);
  }
  result.a = line.a;
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
