#include "monitor_run.h"

#include "interval_statistics.h"
#include "marker_format.h"
#include "stream_watch.h"

#include <algorithm>

#include "base/text.h"

namespace maroquint::monitor {
namespace {

std::string Tenths(double seconds) {
  return base::Format("%.1f", seconds);
}

std::string Describe(const StreamDescription &stream) {
  std::string text = "\"" + stream.name + "\" (type \"" + stream.type + "\"";
  if (!stream.source_id.empty()) text += ", source id \"" + stream.source_id + "\"";
  if (!stream.hostname.empty()) text += ", host \"" + stream.hostname + "\"";
  return text + ", uid " + stream.uid + ")";
}

// Recording: every recorder hears of each event until one fails; a failure
// ends the watch, and every recorder is still finished.
class Records {
 public:
  Records(const std::vector<WatchRecorder *> &recorders, std::ostream &errors)
      : recorders_(recorders), errors_(errors) {}

  template <typename Call>
  void Tell(const Call &call) {
    for (WatchRecorder *recorder : recorders_) {
      if (failed_) return;
      const RecordStatus recorded = call(*recorder);
      if (!recorded) Failed(recorded);
    }
  }

  bool Failed() const { return failed_; }

  // Finishes every recorder; the exit status is kExitWriteFailed once one failed.
  int Finish(const WatchReport &report, const std::vector<std::string> &reasons, int status) {
    if (failed_) status = kExitWriteFailed;
    for (WatchRecorder *recorder : recorders_) {
      const RecordStatus finished = recorder->Finish(report, reasons, status);
      if (finished) continue;
      Failed(finished);
      status = kExitWriteFailed;
    }
    return status;
  }

 private:
  void Failed(const RecordStatus &status) {
    errors_ << "maroquint-monitor: " << status.Message() << "\n" << std::flush;
    failed_ = true;
  }

  const std::vector<WatchRecorder *> &recorders_;
  std::ostream &errors_;
  bool failed_ = false;
};

// Printing: every line of the watch, on the marker stream, the status
// stream or as the error that ends it.
class WatchPrinter {
 public:
  WatchPrinter(const Options &options, const MonitorStreams &out) : options_(options), out_(out) {}

  void MarkerHeader() {
    if (!options_.quiet)
      out_.markers << (options_.csv ? CsvHeader() : MarkerLineHeader()) << std::flush;
  }

  void Marker(const MarkerRow &row) {
    if (!options_.quiet)
      out_.markers << (options_.csv ? FormatCsvRow(row) : FormatMarkerLine(row)) << std::flush;
  }

  // One line for each pulse that goes missing while no marker arrives
  // (`missed` so far in this silence), stating the silence at which it
  // counted as missed: a probe for a vanished outlet can hold the loop past
  // several of those moments.
  void SilenceAlerts(std::int64_t missed) {
    while (alerted_ < missed) {
      ++alerted_;
      out_.status << "no marker for "
                  << Tenths((static_cast<double>(alerted_) + 0.5) * options_.period) << " s ("
                  << PulsesMissed(alerted_) << ")\n";
    }
    out_.status << std::flush;
  }

  // A marker ended the silence: after alerts, the count the sender's time
  // stamps give, which the alerts of the monitor's clock only approached.
  void MarkersBack(double silence, std::int64_t missed, bool first, bool restart) {
    if (alerted_ > 0)
      out_.status << "markers are back after " << Tenths(silence) << " s (" << PulsesMissed(missed)
                  << (first ? " before the first marker" : " in the gap")
                  << (restart ? ", from a new outlet" : "") << ")\n"
                  << std::flush;
    alerted_ = 0;
  }

  void Silent(double silence, bool restart_explains) {
    out_.status << "No marker for " << Tenths(silence)
                << (restart_explains
                        ? " s; the stream's old outlet is gone and a new one is there.\n"
                        : " s; the stream's outlet is still there.\n")
                << std::flush;
  }

  void Gone(double silence) {
    out_.status << "The stream's outlet is gone (no marker for " << Tenths(silence)
                << " s); waiting up to " << Tenths(options_.timeout) << " s for it to come back.\n"
                << std::flush;
  }

  void Back(double absence, bool new_outlet) {
    out_.status << "The stream is back after " << Tenths(absence)
                << (new_outlet ? " s without an outlet, from its new outlet.\n"
                               : " s without its outlet.\n")
                << std::flush;
  }

  void Lost(double absence) {
    out_.status << std::flush;
    out_.errors << "maroquint-monitor: stream lost: its outlet has been gone for "
                << Tenths(absence) << " s\n"
                << std::flush;
  }

  void OtherStream(const std::string &wanted, const StreamDescription &other,
                   const std::string &watched_uid) {
    out_.status << "Another stream matches " << wanted << ": " << FormatStreamLine(other)
                << ", uid " << other.uid << "; the monitor watches uid " << watched_uid << ".\n"
                << std::flush;
  }

  void Restart(const StreamDescription &outlet, const std::string &old_uid) {
    out_.status << "The stream restarted: a new outlet, uid " << outlet.uid << " on host \""
                << outlet.hostname << "\", in place of uid " << old_uid << ".\n"
                << std::flush;
  }

  void Status(double after, const IntervalSummary &summary, std::int64_t missed,
              const std::optional<double> &correction) {
    out_.status << "status after " << Tenths(after) << " s: " << summary.markers << " markers, "
                << missed << " missed pulses";
    if (summary.intervals > 0)
      out_.status << ", p99 |interval - period| " << Seconds(summary.p99_period_deviation) << " s";
    if (correction)
      out_.status << ", time correction " << base::Format("%+.6f", *correction) << " s";
    out_.status << "\n" << std::flush;
  }

  void Summary(const WatchReport &report, const std::vector<std::string> &reasons) {
    out_.status << FormatSummary({report.intervals, options_.period, report.corrections,
                                  report.reconnections, report.missed_before_first,
                                  report.missed_after_last, report.Uids()});
    out_.status << VerdictLine(reasons) << "\n" << std::flush;
  }

 private:
  const Options &options_;
  const MonitorStreams &out_;
  std::int64_t alerted_ = 0;  // pulses of the current silence already reported
};

// Statistics: the markers and the time corrections counted into the report
// that the summary, the files and the picture are made of.
class WatchTally {
 public:
  WatchTally(const Options &options, double start, WatchReport &report)
      : period_(options.period),
        start_(start),
        report_(report),
        statistics_(options.period),
        last_marker_(start) {
    report_.period = options.period;
    report_.max_jitter = options.max_jitter;
  }

  // The interval the next marker would close; none before the first.
  std::optional<double> IntervalTo(double timestamp) const {
    return statistics_.IntervalTo(timestamp);
  }
  // Since the last marker, or since the watch began before the first.
  double Silence(double now) const { return now - last_marker_; }
  std::int64_t MissedInSilence(double now) const { return MissedPulses(Silence(now), period_); }

  IntervalStatistics::Step Marker(double timestamp, double arrived, bool restarted) {
    const IntervalStatistics::Step step = statistics_.AddMarker(timestamp, restarted);
    if (step.index == 1) {
      report_.missed_before_first = MissedPulses(arrived - start_, period_);
      report_.first_marker_at = arrived - start_;
      if (report_.missed_before_first > 0) statistics_.FirstEndedASilence();
    }
    report_.last_marker_at = arrived - start_;
    if (step.interval)
      report_.markers.push_back(
          {arrived - start_, *step.interval - period_, step.missed, step.kind});
    last_marker_ = arrived;
    return step;
  }

  void Correction(double now, const ClockEstimate &estimate) {
    correction_ = estimate.correction;
    report_.corrections.Add(estimate.correction, estimate.round_trip);
    report_.correction_points.push_back({now - start_, estimate.correction, estimate.round_trip});
  }
  const std::optional<double> &LatestCorrection() const { return correction_; }

  IntervalSummary Summarize() const { return statistics_.Summarize(); }
  // Every pulse missed by `now`, the current silence's included.
  std::int64_t MissedSoFar(const IntervalSummary &summary, double now) const {
    const std::int64_t head = summary.markers == 0 ? 0 : report_.missed_before_first;
    return summary.missed_pulses + head + MissedInSilence(now);
  }

  // The figures of a watch that ended at `end`. A watch without any marker
  // is one silence, counted from its start.
  void End(double end) {
    report_.intervals = statistics_.Summarize();
    (report_.intervals.markers == 0 ? report_.missed_before_first : report_.missed_after_last) =
        MissedInSilence(end);
    report_.watched = end - start_;
  }

 private:
  double period_;
  double start_;
  WatchReport &report_;
  IntervalStatistics statistics_;
  std::optional<double> correction_;
  double last_marker_;  // monitor's clock; the watch's start until the first marker
};

// A watch of a found stream: detection (what each marker and each probe
// means: gaps, restarts, other streams, a lost outlet) steers the
// statistics, the records and the printed lines.
class Watch {
 public:
  Watch(const Options &options, MarkerSource &source, const MonitorStreams &out,
        const std::vector<WatchRecorder *> &recorders)
      : options_(options),
        source_(source),
        printer_(options, out),
        records_(recorders, out.errors),
        start_(source.Now()),
        watch_(options.period, options.timeout, start_),
        tally_(options, start_, report_),
        next_correction_(start_ + MonitorPacing::kCorrectionRefresh),
        next_look_(start_ + MonitorPacing::kLookAroundEvery),
        next_status_(options.every ? start_ + *options.every : 0.0) {}

  void StreamFound(const StreamDescription &stream, const std::vector<StreamDescription> &others) {
    report_.stream = stream;
    report_.wanted = DescribeQuery(options_.query);
    current_uid_ = stream.uid;
    records_.Tell([&](WatchRecorder &r) { return r.StreamFound(stream, start_); });
    for (const StreamDescription &other : others) OtherStream(other);
  }

  void AddCorrection(const std::optional<ClockEstimate> &estimate) {
    if (!estimate) return;
    const double now = source_.Now();
    tally_.Correction(now, *estimate);
    records_.Tell([&](WatchRecorder &r) { return r.CorrectionMeasured(now, *estimate); });
  }

  int Run(const StopRequested &stop_requested) {
    printer_.MarkerHeader();
    double end = start_;
    while (!stop_requested() && !records_.Failed()) {
      const double now = source_.Now();
      end = now;
      if (options_.duration && now - start_ >= *options_.duration) {
        end = start_ + *options_.duration;
        break;
      }
      const Pulled pulled = source_.Pull(PullWait(now));
      if (pulled.kind == Pulled::Kind::kMarker && !pulled.text.empty()) {
        end = source_.Now();
        if (MarkerArrived(pulled, end)) break;
      } else if (pulled.kind == Pulled::Kind::kLost) {
        Note(watch_.InletLost(source_.Now()));
      }
      printer_.SilenceAlerts(tally_.MissedInSilence(source_.Now()));
      if (Note(watch_.Check(source_.Now()))) {
        report_.lost = true;
        end = source_.Now();
        break;
      }
      ProbeIfDue();
      LookAroundIfDue();
      RefreshCorrectionIfDue();
      StatusLineIfDue();
    }
    return Finish(end);
  }

 private:
  double PullWait(double now) const {
    double wait = MonitorPacing::kPull;
    if (options_.duration) wait = std::min(wait, start_ + *options_.duration - now);
    return wait;
  }

  // Returns true when --count is reached.
  bool MarkerArrived(const Pulled &marker, double arrived) {
    const bool was_gone = watch_.IsGone();
    const WatchEvent event = watch_.MarkerArrived(arrived);
    // A marker after a gap or an absence may come from a new outlet.
    const std::optional<double> interval = tally_.IntervalTo(marker.timestamp);
    if (event.kind == WatchEvent::Kind::kBack ||
        (interval && MissedPulses(*interval, options_.period) > 0))
      if (const std::optional<StreamDescription> outlet = source_.Outlet(MonitorPacing::kOutlet))
        SeeOutlet(*outlet, was_gone, true);
    Note(event);
    const double silence = tally_.Silence(arrived);
    const IntervalStatistics::Step step =
        tally_.Marker(marker.timestamp, arrived, restart_pending_);
    restart_pending_ = false;
    silence_explained_ = false;
    printer_.MarkersBack(silence, step.index == 1 ? report_.missed_before_first : step.missed,
                         step.index == 1, step.kind == IntervalKind::kRestart);
    const MarkerRecord record = RecordOf(marker, step, arrived);
    printer_.Marker(record.row);
    records_.Tell([&](WatchRecorder &r) { return r.MarkerReceived(record); });
    return options_.count && step.index >= *options_.count;
  }

  MarkerRecord RecordOf(const Pulled &marker, const IntervalStatistics::Step &step,
                        double arrived) {
    MarkerRecord record;
    MarkerRow &row = record.row;
    row.index = step.index;
    row.timestamp = marker.timestamp;
    if (const std::optional<double> &correction = tally_.LatestCorrection())
      row.local_time = marker.timestamp + *correction;
    row.interval = step.interval;
    row.missed = step.missed;
    row.kind = step.kind;
    row.text = marker.text;
    row.utc_time = source_.SystemTime();
    record.received = arrived;
    record.channels =
        marker.channels.empty() ? std::vector<std::string>{marker.text} : marker.channels;
    return record;
  }

  // What an event of the outlet's presence means, printed; true for the
  // final one, Lost.
  bool Note(const WatchEvent &event) {
    switch (event.kind) {
      case WatchEvent::Kind::kNone:
        return false;
      case WatchEvent::Kind::kSilent:
        printer_.Silent(event.silence, silence_explained_);
        return false;
      case WatchEvent::Kind::kGone:
        printer_.Gone(event.silence);
        return false;
      case WatchEvent::Kind::kBack:
        if (!restarted_in_absence_) ++report_.reconnections;
        printer_.Back(event.absence, restarted_in_absence_);
        restarted_in_absence_ = false;
        return false;
      case WatchEvent::Kind::kLost:
        printer_.Lost(event.absence);
        return true;
    }
    return false;
  }

  void ProbeIfDue() {
    const double probe_start = source_.Now();
    if (!watch_.ProbeDue(probe_start)) return;
    // A probe that finds nothing has seen no outlet since it began; one
    // that finds the outlet has seen it when it returns.
    const std::vector<StreamDescription> outlets = source_.Present(MonitorPacing::kProbe);
    SeeOutlets(outlets);
    Note(watch_.ProbeResult(outlets.empty() ? probe_start : source_.Now(), !outlets.empty()));
  }

  // A second instance started during the watch; only one that answers
  // beside the watched outlet is another stream, not a restart. In a
  // silence the presence probes look instead.
  void LookAroundIfDue() {
    if (source_.Now() < next_look_ || !MarkersFlow(source_.Now())) return;
    const std::vector<StreamDescription> matching =
        source_.Matching(options_.query, MonitorPacing::kLookAround);
    const bool watched =
        std::any_of(matching.begin(), matching.end(),
                    [&](const StreamDescription &m) { return m.uid == current_uid_; });
    if (watched)
      for (const StreamDescription &stream : matching) OtherStream(stream);
    next_look_ = source_.Now() + MonitorPacing::kLookAroundEvery;
  }

  void RefreshCorrectionIfDue() {
    if (source_.Now() < next_correction_) return;
    AddCorrection(source_.TimeCorrection(0.0));
    // A restart quicker than a missed pulse shows only in the uid.
    if (MarkersFlow(source_.Now()))
      if (const std::optional<StreamDescription> outlet = source_.Outlet(MonitorPacing::kOutlet))
        SeeOutlet(*outlet, false, false);
    next_correction_ = source_.Now() + MonitorPacing::kCorrectionRefresh;
  }

  // A probe can block past the end of the watch; no status line then.
  void StatusLineIfDue() {
    const double now = source_.Now();
    if (!options_.every || now < next_status_ ||
        (options_.duration && now - start_ >= *options_.duration))
      return;
    const IntervalSummary summary = tally_.Summarize();
    printer_.Status(now - start_, summary, tally_.MissedSoFar(summary, now),
                    tally_.LatestCorrection());
    next_status_ += *options_.every;
  }

  // The outlet is there and no pulse has gone missing since the last marker.
  bool MarkersFlow(double now) const {
    return !watch_.IsGone() && tally_.MissedInSilence(now) == 0;
  }

  void OtherStream(const StreamDescription &other) {
    const std::vector<std::string> watched = report_.Uids();
    if (std::find(watched.begin(), watched.end(), other.uid) != watched.end()) return;
    for (const StreamDescription &known : report_.others)
      if (known.uid == other.uid) return;
    report_.others.push_back(other);
    printer_.OtherStream(report_.wanted, other, current_uid_);
    const double now = source_.Now();
    records_.Tell([&](WatchRecorder &r) { return r.OtherStreamFound(other, now); });
  }

  // The outlet the connection reaches: a new uid is a restart. `in_silence`:
  // no marker came from the new outlet yet, so the next one's interval
  // spans the restart.
  void SeeOutlet(const StreamDescription &outlet, bool in_absence, bool in_silence) {
    if (outlet.uid.empty() || outlet.uid == current_uid_) return;
    for (const StreamDescription &other : report_.others)
      if (other.uid == outlet.uid) return;
    const double now = source_.Now();
    printer_.Restart(outlet, current_uid_);
    current_uid_ = outlet.uid;
    restart_pending_ = in_silence;
    restarted_in_absence_ = in_absence;
    report_.restarts.push_back({now - start_, outlet});
    records_.Tell([&](WatchRecorder &r) { return r.OutletChanged(outlet, now); });
  }

  // The outlets a probe found: the watched one, or one new outlet the
  // connection moves to (a restart), and any other is another stream.
  void SeeOutlets(const std::vector<StreamDescription> &outlets) {
    if (outlets.empty()) return;
    const bool watched =
        std::any_of(outlets.begin(), outlets.end(),
                    [&](const StreamDescription &o) { return o.uid == current_uid_; });
    if (!watched) {
      const bool silent = !watch_.IsGone();
      const std::string watched_before = current_uid_;
      SeeOutlet(outlets.front(), !silent, true);
      // A silence that a restart explains is not a silent outlet.
      silence_explained_ = silent && current_uid_ != watched_before;
    }
    // Outlets that answer beside the watched one are other streams.
    for (std::size_t i = watched ? 0 : 1; i < outlets.size(); ++i) OtherStream(outlets[i]);
  }

  // The end of the watch at `end`: the last alerts, the summary, the
  // verdict and the records finished.
  int Finish(double end) {
    // A probe can hold the loop past the end: the pulses missed by then
    // still get their alerts, so that they add up to the summary's count.
    if (!records_.Failed()) printer_.SilenceAlerts(tally_.MissedInSilence(end));
    report_.gone_at_end = watch_.IsGone();
    if (report_.gone_at_end) report_.gone_at = watch_.GoneSince() - start_;
    tally_.End(end);
    const std::vector<std::string> reasons =
        UnhealthyReasons(report_, {options_.max_missed, options_.max_jitter});
    printer_.Summary(report_, reasons);
    const int status = report_.lost      ? kExitStreamLost
                       : reasons.empty() ? kExitNormal
                                         : kExitUnhealthy;
    return records_.Finish(report_, reasons, status);
  }

  const Options &options_;
  MarkerSource &source_;
  WatchPrinter printer_;
  Records records_;
  double start_;
  StreamWatch watch_;
  WatchReport report_;  // before tally_, which keeps a reference to it
  WatchTally tally_;
  double next_correction_;
  double next_look_;
  double next_status_;
  std::string current_uid_;
  bool restart_pending_ = false;       // the next marker's interval spans a restart
  bool restarted_in_absence_ = false;  // the outlet came back as a new one
  bool silence_explained_ = false;     // the silence is a restart's
};

// The end of a watch that never found its stream: the verdict and the files.
int NoStream(const Options &options, const MonitorStreams &out,
             const std::vector<WatchRecorder *> &recorders) {
  WatchReport report;
  report.period = options.period;
  const std::vector<std::string> reasons =
      UnhealthyReasons(report, {options.max_missed, options.max_jitter});
  out.status << VerdictLine(reasons) << "\n" << std::flush;
  return Records(recorders, out.errors).Finish(report, reasons, kExitNoStream);
}

}  // namespace

RecordStatus WatchRecorder::StreamFound(const StreamDescription &, double) {
  return {};
}
RecordStatus WatchRecorder::OtherStreamFound(const StreamDescription &, double) {
  return {};
}
RecordStatus WatchRecorder::OutletChanged(const StreamDescription &, double) {
  return {};
}
RecordStatus WatchRecorder::MarkerReceived(const MarkerRecord &) {
  return {};
}
RecordStatus WatchRecorder::CorrectionMeasured(double, const ClockEstimate &) {
  return {};
}
RecordStatus WatchRecorder::Finish(const WatchReport &, const std::vector<std::string> &, int) {
  return {};
}

int RunMonitor(const Options &options, MarkerSource &source, const MonitorStreams &out,
               const StopRequested &stop_requested, const std::vector<WatchRecorder *> &recorders) {
  const std::string wanted = DescribeQuery(options.query);
  out.status << "Looking for a stream with " << wanted << " (for up to " << Tenths(options.timeout)
             << " s)...\n"
             << std::flush;
  const double search_end = source.Now() + options.timeout;
  FindResult found;
  std::vector<StreamDescription> other_case;
  while (found.matches.empty()) {
    if (stop_requested()) {
      out.errors << "maroquint-monitor: search for a stream with " << wanted << " interrupted\n"
                 << std::flush;
      return NoStream(options, out, recorders);
    }
    const double left = search_end - source.Now();
    if (left <= 0.0) {
      out.errors << "maroquint-monitor: no stream with " << wanted << " found within "
                 << Tenths(options.timeout) << " s\n";
      for (const StreamDescription &stream : other_case)
        out.errors << "  did you mean " << FormatStreamLine(stream) << "?\n";
      if (other_case.empty())
        out.errors << "  Check that the program is running and publishing, that this machine is "
                      "on the same network segment as the program's (LSL finds streams by "
                      "multicast and broadcast, which routers do not pass), and that no firewall "
                      "on either machine blocks UDP port 16571 or ports 16572 to 16603.\n"
                      "  `maroquint-monitor --list` shows every stream that answers, with its "
                      "name, host and source id.\n";
      out.errors << std::flush;
      return NoStream(options, out, recorders);
    }
    found = source.Find(options.query, std::min(left, MonitorPacing::kFindSlice));
    if (!found.other_case.empty()) other_case = found.other_case;
  }
  const StreamDescription &stream = found.matches.front();
  out.status << "Watching " << Describe(stream) << "\n" << std::flush;
  const std::optional<ClockEstimate> first_correction =
      source.TimeCorrection(MonitorPacing::kFirstCorrection);
  Watch watch(options, source, out, recorders);
  watch.StreamFound(stream, {found.matches.begin() + 1, found.matches.end()});
  watch.AddCorrection(first_correction);
  return watch.Run(stop_requested);
}

int ListStreams(MarkerSource &source, bool xml, std::ostream &out, std::ostream &errors) {
  const std::vector<StreamDescription> streams = source.List(MonitorPacing::kList);
  if (streams.empty())
    errors << "maroquint-monitor: no stream answered within " << Tenths(MonitorPacing::kList)
           << " s\n";
  const double now = source.Now();
  const std::string host = source.HostName();
  for (const StreamDescription &stream : streams)
    out << (xml ? stream.xml : FormatListedStream(stream, now, host)) << "\n";
  out << std::flush;
  return kExitNormal;
}

}  // namespace maroquint::monitor
