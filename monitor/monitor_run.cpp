#include "monitor_run.h"

#include "interval_statistics.h"
#include "marker_format.h"
#include "stream_watch.h"

#include <algorithm>
#include <cstdio>

namespace maroquint::monitor {
namespace {

std::string Tenths(double seconds) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%.1f", seconds);
  return buffer;
}

std::string Describe(const StreamDescription &stream) {
  std::string text = "\"" + stream.name + "\" (type \"" + stream.type + "\"";
  if (!stream.source_id.empty()) text += ", source id \"" + stream.source_id + "\"";
  if (!stream.hostname.empty()) text += ", host \"" + stream.hostname + "\"";
  return text + ", uid " + stream.uid + ")";
}

class Watch {
 public:
  Watch(const Options &options, MarkerSource &source, const MonitorStreams &out)
      : options_(options),
        source_(source),
        out_(out),
        start_(source.Now()),
        watch_(options.period, options.timeout, start_),
        statistics_(options.period),
        next_correction_(start_ + MonitorPacing::kCorrectionRefresh) {}

  void AddCorrection(const std::optional<ClockEstimate> &estimate) {
    if (!estimate) return;
    correction_ = estimate->correction;
    corrections_.Add(estimate->correction, estimate->round_trip);
  }

  int Run(const StopRequested &stop_requested) {
    out_.markers << (options_.csv ? CsvHeader() : MarkerLineHeader()) << std::flush;
    int status = kExitNormal;
    while (!stop_requested()) {
      const double now = source_.Now();
      if (options_.duration && now - start_ >= *options_.duration) break;
      double wait = MonitorPacing::kPull;
      if (options_.duration) wait = std::min(wait, start_ + *options_.duration - now);
      const Pulled pulled = source_.Pull(wait);
      if (pulled.kind == Pulled::Kind::Marker && !pulled.text.empty()) {
        Report(watch_.MarkerArrived(source_.Now()));
        if (Print(pulled)) break;
      } else if (pulled.kind == Pulled::Kind::Lost) {
        Report(watch_.InletLost(source_.Now()));
      }
      if (Report(watch_.Check(source_.Now()))) {
        status = kExitStreamLost;
        break;
      }
      const double probe_start = source_.Now();
      if (watch_.ProbeDue(probe_start)) {
        // A probe that finds nothing has seen no outlet since it began;
        // one that finds the outlet has seen it when it returns.
        const bool present = source_.Present(MonitorPacing::kProbe);
        Report(watch_.ProbeResult(present ? source_.Now() : probe_start, present));
      }
      if (source_.Now() >= next_correction_) {
        AddCorrection(source_.TimeCorrection(0.0));
        next_correction_ = source_.Now() + MonitorPacing::kCorrectionRefresh;
      }
    }
    out_.status << FormatSummary(
                       {statistics_.Summarize(), options_.period, corrections_, reconnections_})
                << std::flush;
    return status;
  }

 private:
  // Returns true when --count is reached.
  bool Print(const Pulled &marker) {
    const IntervalStatistics::Step step = statistics_.AddMarker(marker.timestamp);
    MarkerRow row;
    row.index = step.index;
    row.timestamp = marker.timestamp;
    if (correction_) row.local_time = marker.timestamp + *correction_;
    row.interval = step.interval;
    row.missed = step.missed;
    row.text = marker.text;
    out_.markers << (options_.csv ? FormatCsvRow(row) : FormatMarkerLine(row)) << std::flush;
    return options_.count && step.index >= *options_.count;
  }

  // Returns true for the final event, Lost.
  bool Report(const WatchEvent &event) {
    switch (event.kind) {
      case WatchEvent::Kind::None:
        return false;
      case WatchEvent::Kind::Silent:
        out_.status << "No marker for " << Tenths(event.silence)
                    << " s; the stream's outlet is still there.\n";
        break;
      case WatchEvent::Kind::Gone:
        out_.status << "The stream's outlet is gone (no marker for " << Tenths(event.silence)
                    << " s); waiting up to " << Tenths(options_.timeout)
                    << " s for it to come back.\n";
        break;
      case WatchEvent::Kind::Back:
        ++reconnections_;
        out_.status << "The stream is back after " << Tenths(event.absence)
                    << " s without its outlet.\n";
        break;
      case WatchEvent::Kind::Lost:
        out_.status << std::flush;
        out_.errors << "maroquint-monitor: stream lost: its outlet has been gone for "
                    << Tenths(event.absence) << " s\n"
                    << std::flush;
        return true;
    }
    out_.status << std::flush;
    return false;
  }

  const Options &options_;
  MarkerSource &source_;
  const MonitorStreams &out_;
  double start_;
  StreamWatch watch_;
  IntervalStatistics statistics_;
  CorrectionTrack corrections_;
  std::optional<double> correction_;
  double next_correction_;
  std::int64_t reconnections_ = 0;
};

}  // namespace

int RunMonitor(const Options &options, MarkerSource &source, const MonitorStreams &out,
               const StopRequested &stop_requested) {
  const std::string wanted = DescribeQuery(options.query);
  out.status << "Looking for a stream with " << wanted << " (for up to " << Tenths(options.timeout)
             << " s)...\n"
             << std::flush;
  const double search_end = source.Now() + options.timeout;
  std::optional<StreamDescription> stream;
  while (!stream) {
    if (stop_requested()) {
      out.errors << "maroquint-monitor: search for a stream with " << wanted << " interrupted\n"
                 << std::flush;
      return kExitNoStream;
    }
    const double left = search_end - source.Now();
    if (left <= 0.0) {
      out.errors << "maroquint-monitor: no stream with " << wanted << " found within "
                 << Tenths(options.timeout) << " s\n"
                 << std::flush;
      return kExitNoStream;
    }
    stream = source.Find(options.query, std::min(left, MonitorPacing::kFindSlice));
  }
  out.status << "Watching " << Describe(*stream) << "\n" << std::flush;
  const std::optional<ClockEstimate> first_correction =
      source.TimeCorrection(MonitorPacing::kFirstCorrection);
  Watch watch(options, source, out);
  watch.AddCorrection(first_correction);
  return watch.Run(stop_requested);
}

}  // namespace maroquint::monitor
