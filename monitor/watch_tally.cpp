#include "watch_tally.h"

namespace maroquint::monitor {

WatchTally::WatchTally(const Options &options, double start, WatchReport &report)
    : period_(options.period),
      start_(start),
      report_(report),
      statistics_(options.period),
      last_marker_(start) {
  report_.period = options.period;
  report_.max_jitter = options.max_jitter;
}

IntervalStatistics::Step WatchTally::Marker(double timestamp, double arrived, bool restarted) {
  const IntervalStatistics::Step step = statistics_.AddMarker(timestamp, restarted);
  if (step.index == 1) {
    report_.missed_before_first = MissedPulses(arrived - start_, period_);
    report_.first_marker_at = arrived - start_;
    if (report_.missed_before_first > 0) statistics_.FirstEndedASilence();
  }
  report_.last_marker_at = arrived - start_;
  if (step.interval)
    report_.markers.push_back({arrived - start_, *step.interval - period_, step.missed, step.kind});
  last_marker_ = arrived;
  return step;
}

void WatchTally::Correction(double now, const ClockEstimate &estimate) {
  correction_ = estimate.correction;
  report_.corrections.Add(estimate.correction, estimate.round_trip);
  report_.correction_points.push_back({now - start_, estimate.correction, estimate.round_trip});
}

std::int64_t WatchTally::MissedSoFar(const IntervalSummary &summary, double now) const {
  const std::int64_t head = summary.markers == 0 ? 0 : report_.missed_before_first;
  return summary.missed_pulses + head + MissedInSilence(now);
}

void WatchTally::End(double end) {
  report_.intervals = statistics_.Summarize();
  (report_.intervals.markers == 0 ? report_.missed_before_first : report_.missed_after_last) =
      MissedInSilence(end);
  report_.watched = end - start_;
}

}  // namespace maroquint::monitor
