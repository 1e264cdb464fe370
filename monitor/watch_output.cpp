#include "watch_output.h"

#include "base/text.h"

namespace maroquint::monitor {

int Records::Finish(const WatchReport &report, const std::vector<std::string> &reasons,
                    int status) {
  if (failed_) status = kExitWriteFailed;
  for (WatchRecorder *recorder : recorders_) {
    const RecordStatus finished = recorder->Finish(report, reasons, status);
    if (finished) continue;
    Failed(finished);
    status = kExitWriteFailed;
  }
  return status;
}

void Records::Failed(const RecordStatus &status) {
  errors_ << "maroquint-monitor: " << status.Message() << "\n" << std::flush;
  failed_ = true;
}

void WatchPrinter::MarkerHeader() {
  if (!options_.quiet)
    out_.markers << (options_.csv ? CsvHeader() : MarkerLineHeader()) << std::flush;
}

void WatchPrinter::Marker(const MarkerRow &row) {
  if (!options_.quiet)
    out_.markers << (options_.csv ? FormatCsvRow(row) : FormatMarkerLine(row)) << std::flush;
}

void WatchPrinter::SilenceAlerts(std::int64_t missed) {
  while (alerted_ < missed) {
    ++alerted_;
    out_.status << "no marker for "
                << Tenths((static_cast<double>(alerted_) + 0.5) * options_.period) << " s ("
                << PulsesMissed(alerted_) << ")\n";
  }
  out_.status << std::flush;
}

void WatchPrinter::MarkersBack(double silence, std::int64_t missed, bool first, bool restart) {
  if (alerted_ > 0)
    out_.status << "markers are back after " << Tenths(silence) << " s (" << PulsesMissed(missed)
                << (first ? " before the first marker" : " in the gap")
                << (restart ? ", from a new outlet" : "") << ")\n"
                << std::flush;
  alerted_ = 0;
}

void WatchPrinter::Silent(double silence, bool restart_explains) {
  out_.status << "No marker for " << Tenths(silence)
              << (restart_explains ? " s; the stream's old outlet is gone and a new one is there.\n"
                                   : " s; the stream's outlet is still there.\n")
              << std::flush;
}

void WatchPrinter::Gone(double silence) {
  out_.status << "The stream's outlet is gone (no marker for " << Tenths(silence)
              << " s); waiting up to " << Tenths(options_.timeout) << " s for it to come back.\n"
              << std::flush;
}

void WatchPrinter::Back(double absence, bool new_outlet) {
  out_.status << "The stream is back after " << Tenths(absence)
              << (new_outlet ? " s without an outlet, from its new outlet.\n"
                             : " s without its outlet.\n")
              << std::flush;
}

void WatchPrinter::Lost(double absence) {
  out_.status << std::flush;
  out_.errors << "maroquint-monitor: stream lost: its outlet has been gone for " << Tenths(absence)
              << " s\n"
              << std::flush;
}

void WatchPrinter::OtherStream(const std::string &wanted, const StreamDescription &other,
                               const std::string &watched_uid) {
  out_.status << "Another stream matches " << wanted << ": " << FormatStreamLine(other) << ", uid "
              << other.uid << "; the monitor watches uid " << watched_uid << ".\n"
              << std::flush;
}

void WatchPrinter::Restart(const StreamDescription &outlet, const std::string &old_uid) {
  out_.status << "The stream restarted: a new outlet, uid " << outlet.uid << " on host \""
              << outlet.hostname << "\", in place of uid " << old_uid << ".\n"
              << std::flush;
}

void WatchPrinter::Status(double after, const IntervalSummary &summary, std::int64_t missed,
                          const std::optional<double> &correction) {
  out_.status << "status after " << Tenths(after) << " s: " << summary.markers << " markers, "
              << missed << " missed pulses";
  if (summary.intervals > 0)
    out_.status << ", p99 |interval - period| " << Seconds(summary.p99_period_deviation) << " s";
  if (correction) out_.status << ", time correction " << base::Format("%+.6f", *correction) << " s";
  out_.status << "\n" << std::flush;
}

void WatchPrinter::Summary(const WatchReport &report, const std::vector<std::string> &reasons) {
  out_.status << FormatSummary({report.intervals, options_.period, report.corrections,
                                report.reconnections, report.missed_before_first,
                                report.missed_after_last, report.Uids()});
  out_.status << VerdictLine(reasons) << "\n" << std::flush;
}

}  // namespace maroquint::monitor
