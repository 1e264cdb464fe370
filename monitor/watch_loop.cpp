#include "watch_loop.h"

#include "watch_end.h"

#include <algorithm>

namespace maroquint::monitor {
namespace {

// What the printer and the recorders are told of a marker: `correction`
// maps its time stamp onto the monitor's clock, `utc` is when it came.
MarkerRecord RecordOf(const Pulled &marker, const IntervalStatistics::Step &step, double arrived,
                      const std::optional<double> &correction, double utc) {
  MarkerRecord record;
  MarkerRow &row = record.row;
  row.index = step.index;
  row.timestamp = marker.timestamp;
  if (correction) row.local_time = marker.timestamp + *correction;
  row.interval = step.interval;
  row.missed = step.missed;
  row.kind = step.kind;
  row.text = marker.text;
  row.utc_time = utc;
  record.received = arrived;
  record.channels =
      marker.channels.empty() ? std::vector<std::string>{marker.text} : marker.channels;
  return record;
}

}  // namespace

WatchLoop::WatchLoop(const Options &options, MarkerSource &source, const MonitorStreams &out,
                     const std::vector<WatchRecorder *> &recorders)
    : watch_(options, source, out, recorders),
      tally_(options, watch_.start, watch_.report),
      identity_(watch_),
      presence_(watch_, identity_),
      next_correction_(watch_.start + MonitorPacing::kCorrectionRefresh),
      next_look_(watch_.start + MonitorPacing::kLookAroundEvery),
      next_status_(options.every ? watch_.start + *options.every : 0.0) {}

void WatchLoop::AddCorrection(const std::optional<ClockEstimate> &estimate) {
  if (!estimate) return;
  const double now = watch_.source.Now();
  tally_.Correction(now, *estimate);
  watch_.records.Tell([&](WatchRecorder &r) { return r.CorrectionMeasured(now, *estimate); });
}

int WatchLoop::Run(const StopRequested &stop_requested) {
  const Options &options = watch_.options;
  MarkerSource &source = watch_.source;
  watch_.printer.MarkerHeader();
  double end = watch_.start;
  while (!stop_requested() && !watch_.records.Failed()) {
    const double now = source.Now();
    end = now;
    if (options.duration && now - watch_.start >= *options.duration) {
      end = watch_.start + *options.duration;
      break;
    }
    const Pulled pulled = source.Pull(PullWait(now));
    if (pulled.kind == Pulled::Kind::kMarker && !pulled.text.empty()) {
      end = source.Now();
      if (MarkerArrived(pulled, end)) break;
    } else if (pulled.kind == Pulled::Kind::kLost) {
      presence_.InletLost(source.Now());
    }
    watch_.printer.SilenceAlerts(tally_.MissedInSilence(source.Now()));
    if (presence_.LostBy(source.Now())) {
      watch_.report.lost = true;
      end = source.Now();
      break;
    }
    presence_.ProbeIfDue();
    LookAroundIfDue();
    RefreshCorrectionIfDue();
    StatusLineIfDue();
  }
  return EndWatch(watch_, tally_, presence_, end);
}

double WatchLoop::PullWait(double now) const {
  double wait = MonitorPacing::kPull;
  if (watch_.options.duration) wait = std::min(wait, watch_.start + *watch_.options.duration - now);
  return wait;
}

bool WatchLoop::MarkerArrived(const Pulled &marker, double arrived) {
  const std::optional<double> interval = tally_.IntervalTo(marker.timestamp);
  presence_.MarkerArrived(arrived, interval && MissedPulses(*interval, watch_.options.period) > 0);
  const double silence = tally_.Silence(arrived);
  const IntervalStatistics::Step step =
      tally_.Marker(marker.timestamp, arrived, identity_.TakeRestartForMarker());
  watch_.printer.MarkersBack(silence,
                             step.index == 1 ? watch_.report.missed_before_first : step.missed,
                             step.index == 1, step.kind == IntervalKind::kRestart);
  const MarkerRecord record =
      RecordOf(marker, step, arrived, tally_.LatestCorrection(), watch_.source.SystemTime());
  watch_.printer.Marker(record.row);
  watch_.records.Tell([&](WatchRecorder &r) { return r.MarkerReceived(record); });
  return watch_.options.count && step.index >= *watch_.options.count;
}

// A second instance started during the watch. In a silence the presence
// probes look instead.
void WatchLoop::LookAroundIfDue() {
  MarkerSource &source = watch_.source;
  if (source.Now() < next_look_ || !MarkersFlow(source.Now())) return;
  identity_.SeeMatching(source.Matching(watch_.options.query, MonitorPacing::kLookAround));
  next_look_ = source.Now() + MonitorPacing::kLookAroundEvery;
}

void WatchLoop::RefreshCorrectionIfDue() {
  MarkerSource &source = watch_.source;
  if (source.Now() < next_correction_) return;
  AddCorrection(source.TimeCorrection(0.0));
  // A restart quicker than a missed pulse shows only in the uid.
  if (MarkersFlow(source.Now()))
    if (const std::optional<StreamDescription> outlet = source.Outlet(MonitorPacing::kOutlet))
      identity_.SeeOutlet(*outlet, false, false);
  next_correction_ = source.Now() + MonitorPacing::kCorrectionRefresh;
}

// A probe can block past the end of the watch; no status line then.
void WatchLoop::StatusLineIfDue() {
  const Options &options = watch_.options;
  const double now = watch_.source.Now();
  if (!options.every || now < next_status_ ||
      (options.duration && now - watch_.start >= *options.duration))
    return;
  const IntervalSummary summary = tally_.Summarize();
  watch_.printer.Status(now - watch_.start, summary, tally_.MissedSoFar(summary, now),
                        tally_.LatestCorrection());
  next_status_ += *options.every;
}

bool WatchLoop::MarkersFlow(double now) const {
  return !presence_.IsGone() && tally_.MissedInSilence(now) == 0;
}

}  // namespace maroquint::monitor
