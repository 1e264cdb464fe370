#include "pairing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "base/result.h"
#include "base/stats.h"
#include "base/text.h"

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
  // one pair at most (the nearer marker wins, the earlier on a tie), in
  // time order. The nearest onset never moves back as the markers go on,
  // so markers that want one onset come one after the other.
  std::vector<Pair> Match(const Line &line, std::size_t begin, std::size_t end) const {
    std::vector<Pair> pairs;
    double last_distance = 0;
    std::size_t next =
        begin < end
            ? static_cast<std::size_t>(std::lower_bound(onsets_.begin(), onsets_.end(),
                                                        (markers_[begin] - line.a) / line.b) -
                                       onsets_.begin())
            : 0;
    for (std::size_t j = begin; j < end; ++j) {
      const double t = (markers_[j] - line.a) / line.b;
      while (next < onsets_.size() && onsets_[next] < t) ++next;
      std::size_t i = next;
      if (i == onsets_.size() || (i > 0 && t - onsets_[i - 1] <= onsets_[i] - t)) --i;
      const double distance = std::fabs(markers_[j] - line.At(onsets_[i]));
      if (!(distance <= tolerance_)) continue;
      if (!pairs.empty() && pairs.back().onset == i) {
        if (distance >= last_distance) continue;
        pairs.pop_back();
      }
      pairs.push_back({i, j, onsets_[i], markers_[j]});
      last_distance = distance;
    }
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
  stats.p99 = base::NearestRankPercentile(magnitudes, 0.99);
  stats.max = *std::max_element(magnitudes.begin(), magnitudes.end());
  return stats;
}

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// Bounds of the work: shifts scored (about 23 days of pulses once a
// second, some 200 MB), pairs of runs compared, candidates scored by
// matching.
constexpr long long kMaxShifts = 2'000'000;
constexpr double kMaxRunPairs = 2e7;
constexpr std::size_t kChecked = 32;
// Phases other than the first line's that are scored (see PhaseFamilies):
// at most this many, from runs of at least kFamilyRun events, the
// kFamilyRuns longest of each recording.
constexpr std::size_t kMaxFamilies = 4;
constexpr std::size_t kFamilyRun = 3;
constexpr std::size_t kFamilyRuns = 64;
constexpr std::size_t kIntervalsCompared = 8;
// A gap of several lost events in a row is a lost stretch, not a pause,
// while the recording's rate of breaks makes this many such gaps expected
// by chance; never longer than kLongestStretch events.
constexpr double kChanceGaps = 0.05;
// A pulse held high longer than this waited for its input (see
// EffectiveOnsets): the largest distance of a pair.
constexpr double kHeldPulseS = 0.1;
// The longest low between a held pulse and its catch-up cycle: a few
// samples of the device's 10 kHz clock, with room for a slow computer.
constexpr double kCatchUpLowS = 0.002;
// An overdue cycle drops the output at the program's next step after the
// read that showed the rise: one sample of the device's 10 kHz clock.
constexpr double kDropAfterMarkerS = 1e-4;
// A pair off the fitted line by this much at most (a busy machine's late
// marker or late drop) still lines up a break (see Check): a stray event
// lands that near where an event was due in one period of a second in 100.
constexpr double kLateS = 0.005;
constexpr long long kLongestStretch = 100;
// The spreads of residuals compared: pairings with at least this many
// pairs, markers matched in all, and the margin in standard errors.
constexpr std::size_t kSpreadPairs = 10;
constexpr double kSpreadWork = 4e6;
constexpr double kSpreadZ = 6;
constexpr std::size_t kFollowedPairs = 20;
constexpr double kFollowedDrift = 4 * kMaxDriftPpm * 1e-6;

// The program holds its output high until its input shows the rise, reads
// the rise, stamps the marker, and drops the output a fixed time later. A
// pulse far longer than the others, and longer than a pair may be apart,
// was held by a cut input wire. Its cycle is overdue when the wire is
// mended, so the program drops the output at once after the marker and
// starts a catch-up cycle a few tenths of a millisecond later. Where the
// amplifier sees that short low, the long pulse's fall, less the step
// between the marker and the drop, is where its marker came, and the
// catch-up is an onset of its own; where it does not (a rate
// of a few kHz), the long pulse runs on through the catch-up pulse, and
// its fall less the usual length is the catch-up's marker. A program that
// was only late to drop its output (a busy computer) stamped its marker at
// the rise, and its pulse is a few milliseconds long: those keep their rise.
std::vector<double> EffectiveOnsets(const Recordings &recordings, double sample_period,
                                    std::vector<std::size_t> &long_pulses) {
  std::vector<double> e = recordings.onsets;
  const auto &high = recordings.high_samples;
  if (high.size() != e.size() || !(sample_period > 0)) return e;
  std::vector<double> lengths;
  for (const std::int64_t h : high) {
    if (h >= 0) lengths.push_back(static_cast<double>(h));
  }
  if (lengths.empty()) return e;
  const double usual = Median(std::move(lengths));
  for (std::size_t i = 0; i < e.size(); ++i) {
    const double h = static_cast<double>(high[i]);
    if (high[i] < 0 || h <= 2 * usual + 2 || h * sample_period <= kHeldPulseS) continue;
    const double fall = e[i] + h * sample_period;
    const bool catch_up_seen = i + 1 < e.size() && e[i + 1] - fall <= kCatchUpLowS;
    e[i] = catch_up_seen ? fall - kDropAfterMarkerS : fall - usual * sample_period;
    long_pulses.push_back(i);
  }
  return e;
}

// One recording's events as runs of events one period apart. An event
// within the tolerance after the previous one kept (the second marker of a
// catch-up) is left out; a break is an interval between kept events that
// is not one period: a lost pulse, a pause, a cut, a restart.
struct Runs {
  std::vector<std::size_t> kept;      // event indices
  std::vector<std::size_t> position;  // per event: its place in `kept`, or kNone
  std::vector<std::size_t> starts;    // places in `kept` where runs start, then kept.size()
  std::vector<char> run_start;        // per event: the first of its run
  // Per event and per run: the first of the recording, or after a change
  // of phase (a restarted program), where a first marker may be lost.
  std::vector<char> restart, run_restarts;
  std::vector<double> break_times;                     // midpoints of the breaks, increasing
  std::vector<std::size_t> break_before, break_after;  // the events around each break
  std::vector<std::size_t> break_from, break_to;       // per event: the break it starts or ends
  // A break of two periods is one lost event (of a few periods, a few, see
  // FindRuns): it tells nothing about the other recording (each side loses
  // events on its own, and such losses line up under some shift by
  // chance). Such breaks are never shared and cost nothing; the events
  // they miss explain their partners' being unmatched.
  std::vector<char> break_weak;
  std::vector<char> break_blurred;  // see FindRuns; the onsets' are never shared
  std::vector<double> lost_times;   // where the lost events were due, increasing
  std::size_t strong_breaks = 0;
};

Runs FindRuns(const std::vector<double> &t, double period, double tolerance) {
  Runs runs;
  runs.position.assign(t.size(), kNone);
  runs.run_start.assign(t.size(), 0);
  runs.restart.assign(t.size(), 0);
  runs.break_from.assign(t.size(), kNone);
  runs.break_to.assign(t.size(), kNone);
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (!runs.kept.empty()) {
      const std::size_t previous = runs.kept.back();
      if (t[i] - t[previous] <= tolerance) continue;
      if (std::fabs(t[i] - t[previous] - period) > tolerance) {
        runs.break_from[previous] = runs.break_to[i] = runs.break_times.size();
        runs.break_times.push_back((t[i] + t[previous]) / 2);
        runs.break_before.push_back(previous);
        runs.break_after.push_back(i);
        runs.starts.push_back(runs.kept.size());
        runs.run_start[i] = 1;
        const double periods = (t[i] - t[previous]) / period;
        runs.restart[i] = std::fabs(periods - std::round(periods)) * period > tolerance;
        runs.run_restarts.push_back(runs.restart[i]);
      }
    } else {
      runs.starts.push_back(0);
      runs.run_start[i] = 1;
      runs.restart[i] = 1;
      runs.run_restarts.push_back(1);
    }
    runs.position[i] = runs.kept.size();
    runs.kept.push_back(i);
  }
  runs.starts.push_back(runs.kept.size());
  // Gaps of whole periods: lost events, unless too long for this
  // recording's rate of breaks to make by chance (then a pause of the
  // program, which the other recording shares if it was recording).
  // The rate counts every break, not only single losses: a recording with
  // stray events or lost stretches is no place for rare coincidences.
  std::vector<long long> missing;
  for (std::size_t x = 0; x < runs.break_times.size(); ++x) {
    const double periods = (t[runs.break_after[x]] - t[runs.break_before[x]]) / period;
    const bool whole = std::fabs(periods - std::round(periods)) * period <= tolerance;
    missing.push_back(whole ? std::llround(periods) - 1 : 0);
  }
  // One more than seen, so that no break seen is no proof.
  const double loss_rate = static_cast<double>(runs.break_times.size() + 1) /
                           std::max<double>(static_cast<double>(runs.kept.size()), 1);
  for (std::size_t x = 0; x < runs.break_times.size(); ++x) {
    const bool weak =
        missing[x] >= 1 && missing[x] <= kLongestStretch &&
        (missing[x] == 1 || static_cast<double>(runs.kept.size()) *
                                    std::pow(loss_rate, static_cast<double>(missing[x])) >=
                                kChanceGaps);
    runs.break_weak.push_back(weak);
    runs.strong_breaks += !weak;
    // A change of phase over more than two periods has lost an event beside
    // it: where the phase changed is not known to the period.
    const double interval = t[runs.break_after[x]] - t[runs.break_before[x]];
    runs.break_blurred.push_back(missing[x] == 0 && interval > 2 * period - tolerance);
    for (long long g = 1; weak && g <= missing[x]; ++g) {
      runs.lost_times.push_back(t[runs.break_before[x]] + static_cast<double>(g) * period);
    }
  }
  return runs;
}

// The period from the slope of time over index within each run, pooled:
// the median interval is quantized to the EEG's samples, too coarse to
// count hours of periods.
void PoolSlopes(const std::vector<double> &t, const Runs &runs, double &sxy, double &sxx) {
  for (std::size_t r = 0; r + 1 < runs.starts.size(); ++r) {
    const std::size_t begin = runs.starts[r], n = runs.starts[r + 1] - begin;
    if (n < 2) continue;
    const double mean_index = (n - 1) / 2.0;
    double mean_time = 0;
    for (std::size_t p = 0; p < n; ++p) mean_time += t[runs.kept[begin + p]];
    mean_time /= n;
    for (std::size_t p = 0; p < n; ++p) {
      sxy += (p - mean_index) * (t[runs.kept[begin + p]] - mean_time);
      sxx += (p - mean_index) * (p - mean_index);
    }
  }
}

std::vector<double> Origins(const std::vector<double> &t, const Runs &runs, double period) {
  std::vector<double> origins;
  for (std::size_t r = 0; r + 1 < runs.starts.size(); ++r) {
    const std::size_t begin = runs.starts[r], n = runs.starts[r + 1] - begin;
    double sum = 0;
    for (std::size_t p = 0; p < n; ++p) sum += t[runs.kept[begin + p]] - p * period;
    origins.push_back(sum / n);
  }
  return origins;
}

bool NearAny(const std::vector<double> &sorted, double t, double tolerance) {
  const auto it = std::lower_bound(sorted.begin(), sorted.end(), t - tolerance);
  return it != sorted.end() && *it <= t + tolerance;
}

std::size_t CountIn(const std::vector<double> &sorted, double low, double high) {
  if (!(low <= high)) return 0;
  return std::upper_bound(sorted.begin(), sorted.end(), high) -
         std::lower_bound(sorted.begin(), sorted.end(), low);
}

// Both recordings on EEG time under candidate 0's line; candidate k puts
// marker j at m[j] + k × period.
struct Frame {
  std::vector<double> e;  // effective onsets
  std::vector<double> m;  // markers
  Line line;
  double period = 1;
  double tolerance = 0.1;
  double eeg_from = 0, eeg_to = 0, marker_from = 0, marker_to = 0;  // extents, shift 0
  Runs onset_runs, marker_runs;
  std::vector<double> onsets_kept, markers_kept;
  // Per run: where its first event would be by the mean of all its events,
  // so that one late first event does not put the run out of phase.
  std::vector<double> onset_origins, marker_origins;

  Line LineAt(long long k) const {
    return {line.a - line.b * static_cast<double>(k) * period, line.b};
  }
  // The overlap of the two extents under shift k: an event there should
  // have its partner in the other file.
  double Low(long long k) const {
    return std::max(eeg_from, marker_from + static_cast<double>(k) * period);
  }
  double High(long long k) const {
    return std::min(eeg_to, marker_to + static_cast<double>(k) * period);
  }
};

// The fractions of a period (EEG seconds, from -1/2 to 1/2 period, not
// near 0) by which the markers' runs would have to move to fall on the
// grid of onset runs of another phase, most supported first; runs of a
// few events (strays) are passed over.
std::vector<double> PhaseFamilies(const Frame &f, std::size_t most) {
  struct Run {
    double origin;
    std::size_t size;
  };
  auto long_runs = [](const Runs &runs, const std::vector<double> &origins) {
    std::vector<Run> kept;
    for (std::size_t r = 0; r + 1 < runs.starts.size(); ++r) {
      const std::size_t size = runs.starts[r + 1] - runs.starts[r];
      if (size >= kFamilyRun) kept.push_back({origins[r], size});
    }
    std::sort(kept.begin(), kept.end(), [](const Run &x, const Run &y) { return x.size > y.size; });
    if (kept.size() > kFamilyRuns) kept.resize(kFamilyRuns);
    return kept;
  };
  const std::vector<Run> onsets = long_runs(f.onset_runs, f.onset_origins);
  const std::vector<Run> markers = long_runs(f.marker_runs, f.marker_origins);
  std::vector<std::pair<double, std::size_t>> phases;  // phase, support
  for (const Run &o : onsets) {
    for (const Run &mk : markers) {
      const double d = mk.origin - o.origin;
      const double phase = d - f.period * std::round(d / f.period);
      if (std::fabs(phase) > f.tolerance) phases.push_back({phase, std::min(o.size, mk.size)});
    }
  }
  std::sort(phases.begin(), phases.end());
  std::vector<std::pair<std::size_t, double>> families;  // support, phase
  for (std::size_t x = 0; x < phases.size();) {
    std::size_t y = x, support = 0;
    double weighted = 0;
    while (y < phases.size() && phases[y].first - phases[x].first <= f.tolerance / 2) {
      support += phases[y].second;
      weighted += phases[y].first * static_cast<double>(phases[y].second);
      ++y;
    }
    families.push_back({support, weighted / static_cast<double>(support)});
    x = y;
  }
  std::sort(families.begin(), families.end(),
            [](const auto &x, const auto &y) { return x.first > y.first; });
  std::vector<double> result;
  for (std::size_t x = 0; x < families.size() && x < most; ++x)
    result.push_back(families[x].second);
  return result;
}

struct Score {
  long long k = 0;
  std::size_t pairs = 0;
  std::size_t unmatched = 0;
  std::size_t cost = 0;
  bool checked = false;
  std::size_t onsets_in = 0, markers_in = 0, pairs_in = 0;
};

// Every shift, scored from the runs without matching event by event: a
// pair of runs in phase pairs a trapezoid of counts over the shifts
// (accumulated as second differences), and a pair of breaks or a forgiven
// first onset counts at one shift. Refuses, with the reason, recordings
// too long or too broken to compare.
enum class EstimateError { kTooLong, kTooBroken };

base::Result<std::vector<Score>, EstimateError> Estimate(const Frame &f) {
  const double p = f.period;
  const double lowest = std::ceil((f.eeg_from - f.marker_to) / p);
  const double highest = std::floor((f.eeg_to - f.marker_from) / p);
  if (!(highest - lowest < static_cast<double>(kMaxShifts)) || !(std::fabs(lowest) < 1e15)) {
    return base::Fail(EstimateError::kTooLong, "the recordings span more than " +
                                                   std::to_string(kMaxShifts) +
                                                   " periods together: too many to tell apart");
  }
  const long long k_min = static_cast<long long>(lowest);
  const long long k_max = static_cast<long long>(highest);
  if (k_max < k_min) return std::vector<Score>{};
  const Runs &ro = f.onset_runs, &rm = f.marker_runs;
  const std::size_t onset_runs = ro.starts.size() - 1, marker_runs = rm.starts.size() - 1;
  if (static_cast<double>(onset_runs) * static_cast<double>(marker_runs) > kMaxRunPairs) {
    return base::Fail(EstimateError::kTooBroken,
                      "the onsets break their period " + std::to_string(ro.break_times.size()) +
                          " times and the markers " + std::to_string(rm.break_times.size()) +
                          " times: not the recordings of one pulse train");
  }
  const std::size_t size = static_cast<std::size_t>(k_max - k_min + 1);
  std::vector<long long> second(size + 1, 0), first(size + 1, 0), forgiven(size, 0),
      aligned(size, 0);
  // A second difference of weight w at shift q adds w × (k − q + 1) to
  // every shift k from q on.
  auto add = [&](long long q, long long w) {
    if (q > k_max) return;
    if (q < k_min) {
      second[0] += w;
      first[0] += w * (k_min - q);
    } else {
      second[static_cast<std::size_t>(q - k_min)] += w;
    }
  };
  auto at = [&](std::vector<long long> &counts, long long k) {
    if (k >= k_min && k <= k_max) ++counts[static_cast<std::size_t>(k - k_min)];
  };
  // Shift under which onset time x and marker time y pair, if any.
  auto shift = [&](double x, double y, double tolerances, long long &k) {
    const double delta = (x - y) / p;
    k = std::llround(delta);
    return std::fabs(delta - static_cast<double>(k)) * p <= tolerances * f.tolerance;
  };
  for (std::size_t r = 0; r < onset_runs; ++r) {
    const long long n = static_cast<long long>(ro.starts[r + 1] - ro.starts[r]);
    const double onset = f.onset_origins[r];
    for (std::size_t s = 0; s < marker_runs; ++s) {
      long long c = 0;
      if (!shift(onset, f.marker_origins[s], 1, c)) continue;
      // Under shift k, onset i of the run pairs marker i − (k − c) of the other.
      const long long n_markers = static_cast<long long>(rm.starts[s + 1] - rm.starts[s]);
      add(c - n_markers + 1, 1);
      add(c + 1, -1);
      add(c + n - n_markers + 1, -1);
      add(c + n + 1, 1);
      // The run's first onset without marker, its second paired with the
      // first of a run of markers: a program's first marker after a
      // (re)start reaches no consumer.
      if (n >= 2 && ro.run_restarts[r] && rm.run_restarts[s]) at(forgiven, c + 1);
    }
  }
  // Breaks shared (see Check), counted loosely enough to never count
  // fewer than matching finds: the events within twice the tolerance (a
  // kept event stands for the catch-up marker beside it).
  for (std::size_t x = 0; x < ro.break_times.size(); ++x) {
    if (ro.break_weak[x]) continue;
    const std::size_t after_onset = ro.break_after[x];
    const std::size_t place = ro.position[after_onset];
    const bool has_next = place + 1 < ro.kept.size();
    const double next_onset = has_next ? f.e[ro.kept[place + 1]] : 0;
    for (std::size_t y = 0; y < rm.break_times.size(); ++y) {
      if (rm.break_weak[y]) continue;
      long long before = 0, after = 0, next = 0;
      if (!shift(f.e[ro.break_before[x]], f.m[rm.break_before[y]], 2, before)) continue;
      const double after_marker = f.m[rm.break_after[y]];
      if ((shift(f.e[after_onset], after_marker, 2, after) && after == before) ||
          (has_next && shift(next_onset, after_marker, 2, next) && next == before)) {
        at(aligned, before);
      }
    }
  }
  // Every break counts, in the overlap or not: one outside it is not
  // shared either.
  const long long onset_breaks = static_cast<long long>(ro.strong_breaks);
  const long long marker_breaks = static_cast<long long>(rm.strong_breaks);
  std::vector<Score> scores;
  long long slope = 0, value = 0, constant = 0;
  for (long long k = k_min; k <= k_max; ++k) {
    const std::size_t index = static_cast<std::size_t>(k - k_min);
    slope += second[index];
    value += slope;
    constant += first[index];
    const long long pairs = value + constant;
    if (pairs <= 0) continue;
    const double shift_s = static_cast<double>(k) * p;
    const double low = f.Low(k), high = f.High(k);
    const long long onsets_in = CountIn(f.onsets_kept, low, high);
    const long long markers_in = CountIn(f.markers_kept, low - shift_s, high - shift_s);
    const long long lost_in =
        CountIn(ro.lost_times, low, high) + CountIn(rm.lost_times, low - shift_s, high - shift_s);
    const long long shared = std::min({aligned[index], onset_breaks, marker_breaks});
    Score score;
    score.k = k;
    score.pairs = static_cast<std::size_t>(pairs);
    score.unmatched = static_cast<std::size_t>(
        std::max(0LL, onsets_in + markers_in - 2 * pairs - forgiven[index] - lost_in));
    score.cost =
        score.unmatched + static_cast<std::size_t>(onset_breaks + marker_breaks - 2 * shared);
    scores.push_back(score);
  }
  return scores;
}

// Shift k scored by matching the events; the pairs go to `pairs` when
// asked for.
Score Check(const Frame &f, const Matcher &matcher, const std::vector<double> &marker_times,
            const Options &options, long long k) {
  std::vector<Pair> pairs = matcher.Match(f.LineAt(k), 0, marker_times.size());
  // A pair far off the fitted line (a late marker, or two stray events a
  // whole number of periods apart within the wide tolerance) is a pair,
  // but no evidence that irregularities are shared: under a wrong shift,
  // such coincidences would pass for them.
  if (pairs.size() >= 2) RobustFit(pairs, options, f.line.b);
  std::vector<std::size_t> onset_partner(f.e.size(), kNone), marker_partner(f.m.size(), kNone);
  for (const Pair &pair : pairs) {
    onset_partner[pair.onset] = pair.marker;
    marker_partner[pair.marker] = pair.onset;
  }
  const double shift_s = static_cast<double>(k) * f.period;
  const double low = f.Low(k), high = f.High(k);
  auto inside = [&](double t) { return t >= low && t <= high; };
  // A second event within the tolerance of a paired one: the catch-up
  // cycle's marker beside the one that pairs.
  auto beside_paired = [&](const std::vector<double> &t, const std::vector<std::size_t> &partner,
                           std::size_t i) {
    return (i > 0 && t[i] - t[i - 1] <= f.tolerance && partner[i - 1] != kNone) ||
           (i + 1 < t.size() && t[i + 1] - t[i] <= f.tolerance && partner[i + 1] != kNone);
  };
  const Runs &ro = f.onset_runs, &rm = f.marker_runs;
  auto first_marker_lost = [&](std::size_t i) {
    const std::size_t place = ro.position[i];
    if (place == kNone || !ro.restart[i] || place + 1 >= ro.kept.size()) return false;
    const std::size_t next = ro.kept[place + 1];
    return !ro.run_start[next] && onset_partner[next] != kNone && rm.restart[onset_partner[next]];
  };
  Score score;
  score.k = k;
  score.checked = true;
  score.pairs = pairs.size();
  for (std::size_t i = 0; i < f.e.size(); ++i) {
    if (!inside(f.e[i])) continue;
    ++score.onsets_in;
    if (onset_partner[i] != kNone) {
      ++score.pairs_in;
    } else if (!beside_paired(f.e, onset_partner, i) && !first_marker_lost(i) &&
               !NearAny(rm.lost_times, f.e[i] - shift_s, f.tolerance)) {
      ++score.unmatched;
    }
  }
  for (std::size_t j = 0; j < f.m.size(); ++j) {
    if (!inside(f.m[j] + shift_s)) continue;
    ++score.markers_in;
    if (marker_partner[j] == kNone && !beside_paired(f.m, marker_partner, j) &&
        !NearAny(ro.lost_times, f.m[j] + shift_s, f.tolerance)) {
      ++score.unmatched;
    }
  }
  const std::size_t breaks = ro.strong_breaks + rm.strong_breaks;
  // The pairs by place among the kept events, a catch-up twin in the place
  // of the event before it: per onset place, the marker place it pairs
  // with, and the one it pairs with on the fitted line.
  auto place_of = [](const Runs &runs, std::size_t i) {
    while (i > 0 && runs.position[i] == kNone) --i;
    return runs.position[i];
  };
  std::vector<std::size_t> paired_place(ro.kept.size(), kNone), close_place(ro.kept.size(), kNone);
  for (const Pair &pair : pairs) {
    const std::size_t o = place_of(ro, pair.onset), q = place_of(rm, pair.marker);
    if (!pair.outlier) close_place[o] = q;
    if (!pair.outlier || std::fabs(pair.residual) <= kLateS)
      paired_place[o] = close_place[o] != kNone ? close_place[o] : q;
  }
  // An event off the period on both sides (a stray) pairs on the fitted
  // line by chance as readily as off it: under a wrong shift the line's
  // spread is wide. Beside a lost event it is still on its run's grid.
  auto alone = [](const Runs &runs, std::size_t place) {
    const std::size_t i = runs.kept[place];
    const std::size_t before = runs.break_to[i], after = runs.break_from[i];
    return (place == 0 || (before != kNone && !runs.break_weak[before])) &&
           (place + 1 == runs.kept.size() || (after != kNone && !runs.break_weak[after]));
  };
  // Onset place o and marker place q pair on the fitted line; or a few
  // milliseconds off it (a busy machine's late marker, a long pulse dropped
  // late) while their neighbours towards `step`, in the same runs, pair,
  // until a pair on it.
  auto lined_up = [&](std::size_t o, std::size_t q, int step) {
    for (;;) {
      if (close_place[o] == q) return !alone(ro, o) && !alone(rm, q);
      if (paired_place[o] != q) return false;
      if (step < 0) {
        if (ro.run_start[ro.kept[o]] || rm.run_start[rm.kept[q]]) return false;
        --o;
        --q;
      } else {
        if (o + 1 >= ro.kept.size() || q + 1 >= rm.kept.size() || ro.run_start[ro.kept[o + 1]] ||
            rm.run_start[rm.kept[q + 1]])
          return false;
        ++o;
        ++q;
      }
    }
  };
  std::size_t shared = 0;
  std::vector<char> used(rm.break_times.size(), 0);
  // A break of the onsets is shared with one of the markers when the
  // events before them line up and so do the events after them, or the
  // onset after is a restarted program's first, forgiven above, and the
  // next one lines up with the marker after. A stray event in each
  // recording, in the same period by chance, shares nothing then.
  for (std::size_t x = 0; x < ro.break_times.size(); ++x) {
    if (ro.break_weak[x] || ro.break_blurred[x]) continue;
    const std::size_t o = ro.position[ro.break_before[x]], q = paired_place[o];
    if (q == kNone) continue;
    const std::size_t y = rm.break_from[rm.kept[q]];
    if (y == kNone || used[y] || rm.break_weak[y] || !lined_up(o, q, -1)) continue;
    const std::size_t after = rm.position[rm.break_after[y]];
    if (!lined_up(o + 1, after, 1) &&
        !(first_marker_lost(ro.break_after[x]) && lined_up(o + 2, after, 1)))
      continue;
    used[y] = 1;
    ++shared;
  }
  score.cost = score.unmatched + breaks - 2 * shared;
  return score;
}

// Two-sided 95 % quantile of Student's t.
double T95(std::size_t degrees) {
  static const double kTable[] = {12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306,
                                  2.262,  2.228, 2.201, 2.179, 2.160, 2.145, 2.131, 2.120,
                                  2.110,  2.101, 2.093, 2.086, 2.080, 2.074, 2.069, 2.064,
                                  2.060,  2.056, 2.052, 2.048, 2.045, 2.042};
  if (degrees == 0) return INFINITY;
  if (degrees <= 30) return kTable[degrees - 1];
  return 1.96 + 2.4 / static_cast<double>(degrees);
}

// Standard errors of the fitted line's a (at EEG time 0) and b from the
// residuals of the pairs that are not outliers.
void StandardErrors(const std::vector<Pair> &pairs, double &se_a, double &se_b,
                    std::size_t &degrees) {
  double n = 0, mean = 0;
  for (const Pair &p : pairs) {
    if (!p.outlier) mean += (p.eeg_time - mean) / ++n;
  }
  double sxx = 0, squares = 0;
  for (const Pair &p : pairs) {
    if (p.outlier) continue;
    sxx += (p.eeg_time - mean) * (p.eeg_time - mean);
    squares += p.residual * p.residual;
  }
  degrees = n > 2 ? static_cast<std::size_t>(n) - 2 : 0;
  if (degrees == 0 || !(sxx > 0)) {
    se_a = se_b = INFINITY;
    return;
  }
  const double s = std::sqrt(squares / static_cast<double>(degrees));
  se_b = s / std::sqrt(sxx);
  se_a = s * std::sqrt(1 / n + mean * mean / sxx);
}

}  // namespace

Alignment Align(const std::vector<double> &onset_times, const std::vector<double> &marker_times,
                const Options &options) {
  Recordings recordings;
  recordings.onsets = onset_times;
  recordings.markers = marker_times;
  return Align(recordings, options);
}

// The search:
//  1. A first offset, local. Around a few anchor markers spread over the
//     recording, every onset is tried as the anchor's partner; an offset
//     scores the markers within a short window (short enough that no drift
//     can move them out of the tolerance) that it puts onto an onset.
//  2. Growing the window. From the best offset, the pairs of a window are
//     fitted (offset and drift) and the window grows fourfold, each fit
//     predicting the next window well enough, until it holds every marker.
//     The line is right up to whole periods.
//  3. Candidates. Every shift by whole periods that pairs at least
//     kMinPairs events in the recordings' overlap is scored: events left
//     unpaired plus irregularities (breaks of the period) that the other
//     recording does not share under it.
//  4. The decision (pairing.h), the fit with outliers rejected, and the
//     checks that refuse what is not a pairing.
Alignment Align(const Recordings &recordings, const Options &options) {
  Alignment result;
  if (recordings.onsets.empty()) {
    result.outcome = Outcome::kNoOnsets;
    return result;
  }
  if (recordings.markers.empty()) {
    result.outcome = Outcome::kNoMarkers;
    return result;
  }
  const std::vector<double> &m = recordings.markers;
  for (const auto *times : {&recordings.onsets, &m}) {
    for (std::size_t i = 0; i < times->size(); ++i) {
      if (std::isfinite((*times)[i]) && (i == 0 || (*times)[i] >= (*times)[i - 1])) continue;
      result.outcome = Outcome::kRefused;
      result.reason = std::string("the ") + (times == &m ? "marker" : "onset") + " times go back " +
                      "or are not numbers at number " + std::to_string(i + 1);
      return result;
    }
  }
  const std::vector<double> e =
      EffectiveOnsets(recordings, options.sample_period_s, result.long_pulses);
  double period = MedianInterval(e.size() > 1 ? e : m);
  if (!(period > 0)) period = 1.0;
  const double tolerance =
      options.tolerance_s > 0 ? options.tolerance_s : std::min(0.1, period / 4);
  result.period_s = period;
  result.tolerance_s = tolerance;
  auto refuse = [&](const std::string &reason) {
    result.outcome = Outcome::kRefused;
    result.reason = reason;
    return result;
  };
  // The wrong channel, or markers of another run: the intervals differ.
  // (A few intervals say little: then the checks after the fit refuse.)
  if (e.size() > kIntervalsCompared && m.size() > kIntervalsCompared) {
    const double onset_interval = MedianInterval(e), marker_interval = MedianInterval(m);
    if (std::fabs(onset_interval - marker_interval) >
        kMaxIntervalMismatch * std::max(onset_interval, marker_interval)) {
      return refuse(
          base::Format("onset intervals (median %.4g s) unlike the markers' period "
                       "(median %.4g s)",
                       onset_interval, marker_interval));
    }
  }
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
      // drift; the offset alone is kept then. Many pairs are followed
      // further, so that a drift beyond any clock is measured and refused.
      const double drift = std::fabs(fitted.b - 1);
      if (drift <= max_drift || (pairs.size() >= kFollowedPairs && drift <= kFollowedDrift)) {
        line = fitted;
      } else {
        std::vector<double> offsets;
        for (const Pair &p : pairs) offsets.push_back(p.marker_time - line.b * p.eeg_time);
        line.a = Median(std::move(offsets));
      }
    }
    if (begin == 0 && static_cast<std::size_t>(end) == m.size()) break;
  }

  // 3. Candidates, on EEG time under the line from step 2.
  auto build_frame = [&](const Line &l) {
    Frame f;
    f.e = e;
    f.line = l;
    f.tolerance = tolerance;
    f.m.resize(m.size());
    for (std::size_t j = 0; j < m.size(); ++j) f.m[j] = (m[j] - l.a) / l.b;
    f.onset_runs = FindRuns(f.e, period, tolerance);
    f.marker_runs = FindRuns(f.m, period, tolerance);
    // A recorder that was taking the stream a period before its first marker
    // lost no first marker there: an onset it should have seen is unmatched.
    if (recordings.recorded_to > recordings.recorded_from &&
        m.front() - recordings.recorded_from > (period + tolerance) * l.b &&
        !f.marker_runs.kept.empty()) {
      f.marker_runs.restart[f.marker_runs.kept.front()] = 0;
      f.marker_runs.run_restarts.front() = 0;
    }
    // A long pulse's rise is on the period's grid: nothing was lost before
    // it. Its marker came at its fall from a program that went on: no
    // restarted program's first marker is missing there.
    for (const std::size_t i : result.long_pulses) {
      const std::size_t x = f.onset_runs.break_to[i];
      if (x == kNone) continue;
      f.onset_runs.break_blurred[x] = 0;
      f.onset_runs.restart[i] = 0;
      f.onset_runs.run_restarts[x + 1] = 0;
    }
    double sxy = 0, sxx = 0;
    PoolSlopes(f.e, f.onset_runs, sxy, sxx);
    PoolSlopes(f.m, f.marker_runs, sxy, sxx);
    f.period = sxx > 0 ? sxy / sxx : period;
    result.period_s = f.period;
    f.onset_origins = Origins(f.e, f.onset_runs, f.period);
    f.marker_origins = Origins(f.m, f.marker_runs, f.period);
    for (const std::size_t i : f.onset_runs.kept) f.onsets_kept.push_back(f.e[i]);
    for (const std::size_t j : f.marker_runs.kept) f.markers_kept.push_back(f.m[j]);
    // An extent not known from the file ends half a period beyond its last
    // event, where the next one of a regular train is not yet due: so no
    // event lies at an end, with its partner just beyond the other file's.
    f.eeg_from = std::min(0.0, e.front());
    f.eeg_to = recordings.eeg_duration_s > 0 ? recordings.eeg_duration_s : e.back() + period / 2;
    const bool span_known = recordings.recorded_to > recordings.recorded_from;
    f.marker_from = span_known ? (std::min(recordings.recorded_from, m.front()) - l.a) / l.b
                               : f.m.front() - period / 2;
    f.marker_to = span_known ? (std::max(recordings.recorded_to, m.back()) - l.a) / l.b
                             : f.m.back() + period / 2;
    return f;
  };
  Frame f = build_frame(line);
  auto estimated = Estimate(f);
  if (!estimated.Ok()) return refuse(estimated.Message());
  std::vector<Score> scores = std::move(estimated).Value();

  // A restart or a cut wire changes the pulses' phase: the line from step 2
  // pairs the runs of one phase, and the runs of another phase pair only
  // under a line a fraction of a period away. Each such phase is a family
  // of candidates of its own; the one whose candidates cost least is
  // scored below, unless the user or one clock names another, and the best
  // of the others takes part in the decision.
  struct Family {
    Line line;
    Frame frame;
    std::vector<Score> scores;
    std::size_t best_cost = kNone;
    std::size_t best_pairs = 0;
  };
  auto best_of = [](Family &family) {
    for (const Score &score : family.scores) {
      if (score.pairs < kMinPairs) continue;
      if (family.best_cost == kNone || score.cost < family.best_cost ||
          (score.cost == family.best_cost && score.pairs > family.best_pairs)) {
        family.best_cost = score.cost;
        family.best_pairs = score.pairs;
      }
    }
  };
  std::vector<Family> families;
  families.push_back({line, f, scores});
  best_of(families.back());
  for (const double phase : PhaseFamilies(f, kMaxFamilies)) {
    Family family;
    family.line = {line.a + line.b * phase, line.b};
    family.frame = build_frame(family.line);
    // A phase whose frame cannot be compared is no candidate.
    auto family_scores = Estimate(family.frame);
    if (!family_scores.Ok()) continue;
    family.scores = std::move(family_scores).Value();
    best_of(family);
    if (family.best_cost != kNone) families.push_back(std::move(family));
  }
  const double half_period = line.b * f.period / 2;
  // The fraction of a period, from -1/2 to 1/2, by which `offset` (a
  // marker time less the mapped onset time) is off a family's grid.
  auto off_grid = [&](const Family &family, double offset) {
    const double periods = (offset - (family.line.a - line.a)) / (2 * half_period);
    return std::fabs(periods - std::round(periods));
  };
  std::size_t family_index = 0;
  auto nearest_family = [&](double offset) {
    std::size_t nearest = 0;
    for (std::size_t x = 1; x < families.size(); ++x) {
      if (off_grid(families[x], offset) < off_grid(families[nearest], offset)) nearest = x;
    }
    return nearest;
  };
  if (options.first_pair && options.first_pair->first < e.size() &&
      options.first_pair->second < m.size()) {
    family_index =
        nearest_family(m[options.first_pair->second] - line.b * e[options.first_pair->first]);
  } else if (options.approximate_offset_s) {
    family_index =
        nearest_family(*options.approximate_offset_s - line.b * options.sample_period_s / 2);
  } else if (recordings.onset_stamps.size() == e.size()) {
    std::vector<double> offsets;
    for (std::size_t i = 0; i < e.size(); ++i) {
      offsets.push_back(recordings.onset_stamps[i] - line.b * e[i]);
    }
    family_index = nearest_family(Median(std::move(offsets)));
  } else {
    for (std::size_t x = 1; x < families.size(); ++x) {
      const Family &a = families[x], &b = families[family_index];
      if (a.best_cost < b.best_cost ||
          (a.best_cost == b.best_cost && a.best_pairs > b.best_pairs)) {
        family_index = x;
      }
    }
  }
  std::size_t other_families_cost = kNone;
  for (std::size_t x = 0; x < families.size(); ++x) {
    if (x != family_index)
      other_families_cost = std::min(other_families_cost, families[x].best_cost);
  }
  line = families[family_index].line;
  f = families[family_index].frame;
  scores = families[family_index].scores;
  if (scores.empty()) {
    result.outcome = Outcome::kNoOverlap;
    return result;
  }
  // The best estimates, scored by matching.
  std::vector<std::size_t> order(scores.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return std::make_pair(scores[x].cost, scores[y].pairs) <
           std::make_pair(scores[y].cost, scores[x].pairs);
  });
  auto index_of = [&](long long k) -> std::size_t {
    const auto it = std::lower_bound(scores.begin(), scores.end(), k,
                                     [](const Score &s, long long value) { return s.k < value; });
    return it != scores.end() && it->k == k ? static_cast<std::size_t>(it - scores.begin()) : kNone;
  };
  auto check = [&](std::size_t index) {
    if (!scores[index].checked) scores[index] = Check(f, matcher, m, options, scores[index].k);
  };
  for (std::size_t r = 0; r < order.size() && r < kChecked; ++r) check(order[r]);
  std::vector<std::size_t> candidates;
  for (std::size_t x = 0; x < scores.size(); ++x) {
    if (scores[x].pairs >= kMinPairs) candidates.push_back(x);
  }
  if (candidates.empty()) {
    // Show what little pairs.
    const std::size_t most = *std::max_element(order.begin(), order.end(), [&](auto x, auto y) {
      return scores[x].pairs < scores[y].pairs;
    });
    result.pairs = matcher.Match(f.LineAt(scores[most].k), 0, m.size());
    result.outcome = Outcome::kTooFewPairs;
  }
  // The best two, until both are scored by matching (an estimate may be
  // below what matching finds). Of equal costs, the one pairing more is
  // taken as the best: its fit is the one to check.
  auto cheaper = [&](std::size_t x, std::size_t y) {
    return scores[x].cost < scores[y].cost ||
           (scores[x].cost == scores[y].cost && scores[x].pairs > scores[y].pairs);
  };
  std::size_t best = kNone, runner_up = kNone;
  bool settled = false;  // the best two are scored by matching
  for (std::size_t round = 0; round <= kChecked && !settled; ++round) {
    best = runner_up = kNone;
    for (const std::size_t x : candidates) {
      if (scores[x].pairs < kMinPairs) continue;
      if (best == kNone || cheaper(x, best)) {
        runner_up = best;
        best = x;
      } else if (runner_up == kNone || cheaper(x, runner_up)) {
        runner_up = x;
      }
    }
    settled = best == kNone ||
              (scores[best].checked && (runner_up == kNone || scores[runner_up].checked));
    if (settled || round == kChecked) break;
    check(best);
    if (runner_up != kNone) check(runner_up);
  }

  // 4. The decision.
  std::size_t chosen = kNone;
  const double bp = line.b * f.period;
  const double half_sample = line.b * options.sample_period_s / 2;
  auto unfit = [&](const std::string &reason) {
    result.outcome = Outcome::kUserChoiceUnfit;
    result.reason = reason;
    return result;
  };
  if (best != kNone && (options.first_pair || options.approximate_offset_s)) {
    double periods = 0;
    std::string what;
    if (options.first_pair) {
      const auto [i, j] = *options.first_pair;
      if (i >= e.size() || j >= m.size())
        return unfit("--first-pair names no such onset or marker");
      periods = (line.a + line.b * e[i] - m[j]) / bp;
      what = "onset " + std::to_string(i + 1) + " and marker " + std::to_string(j + 1);
      if (std::fabs(periods - std::round(periods)) * bp > tolerance) {
        return unfit(what + " are " +
                     base::Format("%.4g s", std::fabs(periods - std::round(periods)) * bp) +
                     " off a whole number of periods apart: they cannot pair");
      }
    } else {
      periods = (line.a + half_sample - *options.approximate_offset_s) / bp;
      what = "the offset " + base::Format("%.4g s", *options.approximate_offset_s);
      if (std::fabs(periods - std::round(periods)) > 0.25) {
        return unfit(what + " is more than a quarter period from every candidate");
      }
    }
    chosen = index_of(std::llround(periods));
    if (chosen == kNone || scores[chosen].pairs < kMinPairs) {
      return unfit("under " + what + " fewer than " + std::to_string(kMinPairs) + " events pair");
    }
    result.decided_by = Decider::kUser;
    result.decision = what;
  }
  if (chosen == kNone && best != kNone && recordings.onset_stamps.size() == e.size()) {
    std::vector<double> periods;
    std::vector<char> is_long(e.size(), 0);
    for (const std::size_t i : result.long_pulses) is_long[i] = 1;
    for (std::size_t i = 0; i < e.size(); ++i) {
      if (!is_long[i])
        periods.push_back((line.a + line.b * e[i] - recordings.onset_stamps[i]) / bp);
    }
    const double middle = Median(periods);
    for (double &x : periods) x = std::fabs(x - middle);
    if (std::fabs(middle - std::round(middle)) < 0.25 && 1.4826 * Median(periods) < 0.25) {
      chosen = index_of(std::llround(middle));
      if (chosen == kNone || scores[chosen].pairs < kMinPairs) {
        result.outcome = Outcome::kNoOverlap;
        result.reason = "on their common clock the markers and the onsets do not overlap";
        return result;
      }
      result.decided_by = Decider::kOneClock;
      result.decision = "the EEG's time stamps on the markers' clock";
    }
  }
  if (chosen == kNone && best != kNone) {
    const std::size_t next =
        std::min(runner_up == kNone ? kNone : scores[runner_up].cost, other_families_cost);
    const std::size_t margin = next == kNone ? kNone : next - std::min(next, scores[best].cost);
    // Below the margin, not at it: a best that leaves one event unexplained
    // against two for the next is turned by a single event lost in the
    // wrong place.
    if (settled && margin >= 1 && scores[best].cost < margin) {
      chosen = best;
      result.decided_by = Decider::kSharedPattern;
      result.decision =
          "irregularities shared: the best pairing costs " + std::to_string(scores[best].cost) +
          (next == kNone ? std::string(", no other pairs " + std::to_string(kMinPairs) + " events")
                         : ", the next " + std::to_string(next));
    }
  }
  if (chosen == kNone && best != kNone) {
    // Pulses paced unevenly (in software) leave the same intervals in both
    // recordings: only the true pairing has residuals as small as the
    // samples' and the stamps' noise. The two least spreads are compared
    // on the log scale, where a variance estimated from n residuals has a
    // standard error of about sqrt(2 / n); hardware-timed pulses give
    // every pairing the same spread and decide nothing. The candidates
    // are taken by cost, as many as a bounded amount of matching allows.
    const std::size_t budget =
        std::max<std::size_t>(kChecked, static_cast<std::size_t>(kSpreadWork / m.size()));
    const double floor = std::max(std::pow(options.sample_period_s, 2) / 48, 1e-12);
    struct Spread {
      std::size_t index;
      double variance;
      double n;
    };
    std::vector<Spread> spreads;
    for (std::size_t r = 0; r < order.size() && r < budget; ++r) {
      const std::size_t x = order[r];
      if (scores[x].pairs < kSpreadPairs) continue;
      std::vector<Pair> pairs = matcher.Match(f.LineAt(scores[x].k), 0, m.size());
      RobustFit(pairs, options, line.b);
      const ResidualStats stats = Statistics(pairs);
      std::size_t n = 0;
      for (const Pair &pair : pairs) n += !pair.outlier;
      if (n >= kSpreadPairs) {
        spreads.push_back({x, std::max(stats.sd * stats.sd, floor), static_cast<double>(n)});
      }
    }
    std::sort(spreads.begin(), spreads.end(),
              [](const Spread &x, const Spread &y) { return x.variance < y.variance; });
    if (spreads.size() >= 2) {
      const Spread &least = spreads[0], &next = spreads[1];
      const double z = std::log(next.variance / least.variance) /
                       std::sqrt(2 / (least.n - 2) + 2 / (next.n - 2));
      if (z > kSpreadZ) {
        chosen = least.index;
        check(chosen);
        result.decided_by = Decider::kSharedPattern;
        result.decision = base::Format(
            "intervals shared: residual sd %.3f ms against %.3f ms for the next pairing",
            std::sqrt(least.variance) * 1e3, std::sqrt(next.variance) * 1e3);
      }
    }
  }
  const std::size_t evaluated = chosen != kNone ? chosen : best;
  if (evaluated == kNone) return result;
  check(evaluated);
  if (result.decided_by == Decider::kUser && scores[evaluated].cost > scores[best].cost) {
    result.warnings.push_back("the pairing given costs " + std::to_string(scores[evaluated].cost) +
                              " (unmatched events "
                              "and irregularities not shared) against " +
                              std::to_string(scores[best].cost) + " for the offset " +
                              base::Format("%.4g s", f.LineAt(scores[best].k).a + half_sample));
  }
  for (const std::size_t x : candidates) {
    const Score &s = scores[x];
    if (s.pairs < kMinPairs) continue;
    Candidate candidate;
    candidate.shift = s.k - scores[evaluated].k;
    candidate.a = f.LineAt(s.k).a + half_sample;
    candidate.pairs = s.pairs;
    candidate.unmatched = s.unmatched;
    candidate.cost = s.cost;
    candidate.checked = s.checked;
    result.candidates.push_back(candidate);
  }

  // The fit; it moves the line a little, so match again.
  line = f.LineAt(scores[evaluated].k);
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
  if (result.pairs.size() - result.outliers < kMinPairs) {
    result.outcome = Outcome::kTooFewPairs;
    return result;
  }

  // Precision: the fit's, and that of the clock offsets applied to the
  // marker times (their error at the middle of the markers grows with the
  // distance from it by the error of their slope).
  std::size_t degrees = 0;
  StandardErrors(result.pairs, result.a_se, result.b_se, degrees);
  const double from_middle = result.a - (m.front() + m.back()) / 2;
  result.a_se =
      std::sqrt(result.a_se * result.a_se + recordings.offset_se_s * recordings.offset_se_s +
                std::pow(from_middle * recordings.offset_slope_se, 2));
  result.b_se = std::hypot(result.b_se, recordings.offset_slope_se);
  const double t = T95(degrees);
  result.a_ci95[0] = result.a - t * result.a_se;
  result.a_ci95[1] = result.a + t * result.a_se;
  result.drift_ci95_ppm[0] = (1 / (result.b + t * result.b_se) - 1) * 1e6;
  result.drift_ci95_ppm[1] = (1 / std::max(result.b - t * result.b_se, 1e-9) - 1) * 1e6;

  // What is not a pairing.
  const Score score = Check(f, matcher, m, options, scores[evaluated].k);
  std::vector<double> residuals;
  for (const Pair &p : result.pairs) residuals.push_back(p.residual);
  const double centre = Median(residuals);
  for (double &r : residuals) r = std::fabs(r - centre);
  const double spread = 1.4826 * Median(residuals);
  const double spread_limit = kMaxSpreadS + 2 * options.sample_period_s;
  const std::size_t in_overlap = std::max(score.onsets_in, score.markers_in);
  const double share =
      in_overlap > 0 ? static_cast<double>(score.pairs_in) / static_cast<double>(in_overlap) : 1;
  if (std::fabs(result.DriftPpm()) > kMaxDriftPpm) {
    return refuse(base::Format(
        "a drift of %.0f ppm (beyond %.0f ppm: no amplifier's or PC's clock) under the best "
        "pairing",
        result.DriftPpm(), kMaxDriftPpm));
  }
  if (spread > spread_limit) {
    return refuse(base::Format(
        "the residuals spread %.1f ms (robust sd; beyond %.1f ms): the pairs are coincidences",
        spread * 1e3, spread_limit * 1e3));
  }
  if (share < kMinPairedShare) {
    return refuse(base::Format(
        "only %zu of the %zu onsets and %zu markers in the recordings' overlap pair (%.0f %%, "
        "below %.0f %%)",
        score.pairs_in, score.onsets_in, score.markers_in, share * 100, kMinPairedShare * 100));
  }
  if (chosen == kNone) {
    result.outcome = Outcome::kAmbiguous;
    result.reason = std::to_string(result.candidates.size()) +
                    " pairings, whole periods apart, explain the recordings";
    const std::size_t next =
        std::min(runner_up == kNone ? kNone : scores[runner_up].cost, other_families_cost);
    if (next != kNone) {
      result.reason += " (the best costs " + std::to_string(scores[best].cost) + ", the next " +
                       std::to_string(next) + ")";
    }
    if (other_families_cost != kNone && other_families_cost <= scores[best].cost) {
      result.reason += "; pairings of another phase explain them as well";
    }
  }
  return result;
}

std::string Status(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return "aligned";
    case Outcome::kNoOnsets:
      return "no onsets";
    case Outcome::kNoMarkers:
      return "no markers";
    case Outcome::kNoOverlap:
      return "no overlap";
    case Outcome::kTooFewPairs:
      return "too few pairs";
    case Outcome::kAmbiguous:
      return "ambiguous";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kUserChoiceUnfit:
      return "user pairing unfit";
  }
  return "unknown";
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
    case Outcome::kAmbiguous:
      return "the recordings do not decide which pulse is which";
    case Outcome::kRefused:
      return "not a pairing of one pulse train";
    case Outcome::kUserChoiceUnfit:
      return "the pairing given on the command line does not fit the recordings";
  }
  return "unknown";
}

std::string Describe(Decider decider) {
  switch (decider) {
    case Decider::kNone:
      return "nothing";
    case Decider::kUser:
      return "the user";
    case Decider::kOneClock:
      return "one clock";
    case Decider::kSharedPattern:
      return "a shared pattern";
  }
  return "unknown";
}

}  // namespace maroquint::align
