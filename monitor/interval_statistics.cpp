#include "interval_statistics.h"

#include <algorithm>
#include <cmath>

#include "base/stats.h"

namespace maroquint::monitor {

std::int64_t MissedPulses(double interval, double period) {
  if (!(interval > 1.5 * period)) return 0;
  return static_cast<std::int64_t>(std::llround(interval / period)) - 1;
}

IntervalStatistics::IntervalStatistics(double period) : period_(period) {}

std::optional<double> IntervalStatistics::IntervalTo(double timestamp) const {
  if (markers_ == 0) return std::nullopt;
  return timestamp - previous_;
}

IntervalStatistics::Step IntervalStatistics::AddMarker(double timestamp, bool restarted) {
  Step step;
  step.index = ++markers_;
  if (markers_ > 1) {
    const double interval = timestamp - previous_;
    ++intervals_;
    step.interval = interval;
    step.missed = MissedPulses(interval, period_);
    if (step.missed > 0) {
      missed_ += step.missed;
      gaps_.push_back({step.index, timestamp, interval, step.missed});
    }
    if (restarted)
      step.kind = IntervalKind::kRestart;
    else if (step.missed > 0)
      step.kind = IntervalKind::kGap;
    else if (interval < 0.5 * period_)
      step.kind = after_gap_ ? IntervalKind::kCatchUp : IntervalKind::kEarly;
    if (step.kind == IntervalKind::kEarly) ++early_;
    if (step.kind == IntervalKind::kCatchUp) ++catch_up_;
    if (step.kind == IntervalKind::kRestart) ++restart_;
    // One catch-up per gap: a second short interval is an extra marker. A
    // restart holds no cycle, so nothing catches up after it.
    after_gap_ = step.kind == IntervalKind::kGap;
    if (step.kind == IntervalKind::kRegular) {
      const auto n = static_cast<double>(deviations_.size() + 1);
      const double delta = interval - mean_;
      mean_ += delta / n;
      m2_ += delta * (interval - mean_);
      min_ = deviations_.empty() ? interval : std::min(min_, interval);
      max_ = deviations_.empty() ? interval : std::max(max_, interval);
      deviations_.push_back(std::fabs(interval - period_));
    }
  }
  previous_ = timestamp;
  return step;
}

IntervalSummary IntervalStatistics::Summarize() const {
  IntervalSummary summary;
  summary.markers = markers_;
  summary.intervals = intervals_;
  summary.regular = static_cast<std::int64_t>(deviations_.size());
  summary.missed_pulses = missed_;
  summary.gaps = gaps_;
  summary.early = early_;
  summary.catch_up = catch_up_;
  summary.restart = restart_;
  if (deviations_.empty()) return summary;
  summary.mean = mean_;
  summary.min = min_;
  summary.max = max_;
  summary.std_dev =
      deviations_.size() > 1 ? std::sqrt(m2_ / static_cast<double>(deviations_.size() - 1)) : 0.0;
  summary.p99_period_deviation = base::NearestRankPercentile(deviations_, 0.99);
  return summary;
}

void CorrectionTrack::Add(double correction, double round_trip) {
  min_ = count_ == 0 ? correction : std::min(min_, correction);
  max_ = count_ == 0 ? correction : std::max(max_, correction);
  last_ = correction;
  min_round_trip_ = count_ == 0 ? round_trip : std::min(min_round_trip_, round_trip);
  max_round_trip_ = count_ == 0 ? round_trip : std::max(max_round_trip_, round_trip);
  last_round_trip_ = round_trip;
  ++count_;
}

}  // namespace maroquint::monitor
