// Where the events of a watch go: the lines it prints (WatchPrinter) and the
// records it keeps (Records), and the state its parts share (WatchContext).
// Nothing here decides what an event means.
#pragma once

#include "command_line.h"
#include "interval_statistics.h"
#include "marker_format.h"
#include "monitor_run.h"
#include "watch_report.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace maroquint::monitor {

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
  int Finish(const WatchReport &report, const std::vector<std::string> &reasons, int status);

 private:
  void Failed(const RecordStatus &status);

  const std::vector<WatchRecorder *> &recorders_;
  std::ostream &errors_;
  bool failed_ = false;
};

// Printing: every line of the watch, on the marker stream, the status
// stream or as the error that ends it.
class WatchPrinter {
 public:
  WatchPrinter(const Options &options, const MonitorStreams &out) : options_(options), out_(out) {}

  void MarkerHeader();
  void Marker(const MarkerRow &row);
  // One line for each pulse that goes missing while no marker arrives
  // (`missed` so far in this silence), stating the silence at which it
  // counted as missed: a probe for a vanished outlet can hold the loop past
  // several of those moments.
  void SilenceAlerts(std::int64_t missed);
  // A marker ended the silence: after alerts, the count the sender's time
  // stamps give, which the alerts of the monitor's clock only approached.
  void MarkersBack(double silence, std::int64_t missed, bool first, bool restart);
  void Silent(double silence, bool restart_explains);
  void Gone(double silence);
  void Back(double absence, bool new_outlet);
  void Lost(double absence);
  void OtherStream(const std::string &wanted, const StreamDescription &other,
                   const std::string &watched_uid);
  void Restart(const StreamDescription &outlet, const std::string &old_uid);
  void Status(double after, const IntervalSummary &summary, std::int64_t missed,
              const std::optional<double> &correction);
  void Summary(const WatchReport &report, const std::vector<std::string> &reasons);

 private:
  const Options &options_;
  const MonitorStreams &out_;
  std::int64_t alerted_ = 0;  // pulses of the current silence already reported
};

// What the parts of one watch share: what it was asked, where it reads,
// where its events go and the report it fills.
struct WatchContext {
  WatchContext(const Options &watch_options, MarkerSource &marker_source, const MonitorStreams &out,
               const std::vector<WatchRecorder *> &recorders)
      : options(watch_options),
        source(marker_source),
        printer(watch_options, out),
        records(recorders, out.errors),
        start(marker_source.Now()) {}

  const Options &options;
  MarkerSource &source;
  WatchPrinter printer;
  Records records;
  double start;  // monitor's clock
  WatchReport report;
};

}  // namespace maroquint::monitor
