#include "watch_end.h"

namespace maroquint::monitor {

int EndWatch(WatchContext &watch, WatchTally &tally, const OutletPresence &presence, double end) {
  WatchReport &report = watch.report;
  // A probe can hold the loop past the end: the pulses missed by then
  // still get their alerts, so that they add up to the summary's count.
  if (!watch.records.Failed()) watch.printer.SilenceAlerts(tally.MissedInSilence(end));
  report.gone_at_end = presence.IsGone();
  if (report.gone_at_end) report.gone_at = presence.GoneSince() - watch.start;
  tally.End(end);
  const std::vector<std::string> reasons =
      UnhealthyReasons(report, {watch.options.max_missed, watch.options.max_jitter});
  watch.printer.Summary(report, reasons);
  const int status = report.lost ? kExitStreamLost : reasons.empty() ? kExitNormal : kExitUnhealthy;
  return watch.records.Finish(report, reasons, status);
}

int EndWithoutStream(const Options &options, const MonitorStreams &out,
                     const std::vector<WatchRecorder *> &recorders) {
  WatchReport report;
  report.period = options.period;
  const std::vector<std::string> reasons =
      UnhealthyReasons(report, {options.max_missed, options.max_jitter});
  out.status << VerdictLine(reasons) << "\n" << std::flush;
  return Records(recorders, out.errors).Finish(report, reasons, kExitNoStream);
}

}  // namespace maroquint::monitor
