// The loop of a watch of a found stream: it reads the inlet and, between
// markers, runs what is due (a presence probe, a look for other streams, a
// refresh of the time correction, a status line) until the watch ends.
#pragma once

#include "outlet_detection.h"
#include "watch_output.h"
#include "watch_tally.h"

#include <optional>
#include <vector>

namespace maroquint::monitor {

class WatchLoop {
 public:
  WatchLoop(const Options &options, MarkerSource &source, const MonitorStreams &out,
            const std::vector<WatchRecorder *> &recorders);

  void StreamFound(const StreamDescription &stream, const std::vector<StreamDescription> &others) {
    identity_.StreamFound(stream, others);
  }
  void AddCorrection(const std::optional<ClockEstimate> &estimate);
  // The watch to its end; its exit status.
  int Run(const StopRequested &stop_requested);

 private:
  double PullWait(double now) const;
  // Returns true when --count is reached.
  bool MarkerArrived(const Pulled &marker, double arrived);
  void LookAroundIfDue();
  void RefreshCorrectionIfDue();
  void StatusLineIfDue();
  // The outlet is there and no pulse has gone missing since the last marker.
  bool MarkersFlow(double now) const;

  WatchContext watch_;
  WatchTally tally_;
  OutletIdentity identity_;
  OutletPresence presence_;
  double next_correction_;
  double next_look_;
  double next_status_;
};

}  // namespace maroquint::monitor
