#include "monitor_run.h"

#include "marker_format.h"
#include "watch_end.h"
#include "watch_loop.h"

#include <algorithm>
#include <optional>

namespace maroquint::monitor {
namespace {

std::string Describe(const StreamDescription &stream) {
  std::string text = "\"" + stream.name + "\" (type \"" + stream.type + "\"";
  if (!stream.source_id.empty()) text += ", source id \"" + stream.source_id + "\"";
  if (!stream.hostname.empty()) text += ", host \"" + stream.hostname + "\"";
  return text + ", uid " + stream.uid + ")";
}

// Why the search found nothing, and what to check.
void NotFound(const Options &options, const std::vector<StreamDescription> &other_case,
              std::ostream &errors) {
  errors << "maroquint-monitor: no stream with " << DescribeQuery(options.query) << " found within "
         << Tenths(options.timeout) << " s\n";
  for (const StreamDescription &stream : other_case)
    errors << "  did you mean " << FormatStreamLine(stream) << "?\n";
  if (other_case.empty())
    errors << "  Check that the program is running and publishing, that this machine is "
              "on the same network segment as the program's (LSL finds streams by "
              "multicast and broadcast, which routers do not pass), and that no firewall "
              "on either machine blocks UDP port 16571 or ports 16572 to 16603.\n"
              "  `maroquint-monitor --list` shows every stream that answers, with its "
              "name, host and source id.\n";
  errors << std::flush;
}

// The streams that match, the source connected to the first; none when the
// search ended without one (its message printed).
std::optional<FindResult> Search(const Options &options, MarkerSource &source,
                                 const MonitorStreams &out, const StopRequested &stop_requested) {
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
      return std::nullopt;
    }
    const double left = search_end - source.Now();
    if (left <= 0.0) {
      NotFound(options, other_case, out.errors);
      return std::nullopt;
    }
    found = source.Find(options.query, std::min(left, MonitorPacing::kFindSlice));
    if (!found.other_case.empty()) other_case = found.other_case;
  }
  return found;
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
  const std::optional<FindResult> found = Search(options, source, out, stop_requested);
  if (!found) return EndWithoutStream(options, out, recorders);
  const StreamDescription &stream = found->matches.front();
  out.status << "Watching " << Describe(stream) << "\n" << std::flush;
  const std::optional<ClockEstimate> first_correction =
      source.TimeCorrection(MonitorPacing::kFirstCorrection);
  WatchLoop watch(options, source, out, recorders);
  watch.StreamFound(stream, {found->matches.begin() + 1, found->matches.end()});
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
