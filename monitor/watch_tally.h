// Statistics: the markers and the time corrections of a watch counted into
// the report that the summary, the files and the picture are made of.
#pragma once

#include "command_line.h"
#include "interval_statistics.h"
#include "monitor_run.h"
#include "watch_report.h"

#include <cstdint>
#include <optional>

namespace maroquint::monitor {

class WatchTally {
 public:
  WatchTally(const Options &options, double start, WatchReport &report);

  // The interval the next marker would close; none before the first.
  std::optional<double> IntervalTo(double timestamp) const {
    return statistics_.IntervalTo(timestamp);
  }
  // Since the last marker, or since the watch began before the first.
  double Silence(double now) const { return now - last_marker_; }
  std::int64_t MissedInSilence(double now) const { return MissedPulses(Silence(now), period_); }

  IntervalStatistics::Step Marker(double timestamp, double arrived, bool restarted);

  void Correction(double now, const ClockEstimate &estimate);
  const std::optional<double> &LatestCorrection() const { return correction_; }

  IntervalSummary Summarize() const { return statistics_.Summarize(); }
  // Every pulse missed by `now`, the current silence's included.
  std::int64_t MissedSoFar(const IntervalSummary &summary, double now) const;

  // The figures of a watch that ended at `end`. A watch without any marker
  // is one silence, counted from its start.
  void End(double end);

 private:
  double period_;
  double start_;
  WatchReport &report_;
  IntervalStatistics statistics_;
  std::optional<double> correction_;
  double last_marker_;  // monitor's clock; the watch's start until the first marker
};

}  // namespace maroquint::monitor
