// --plot: the picture of a watch, drawn with PLplot. Three panels: the
// interval - period of every marker over time with the missed pulses marked,
// the histogram of those deviations, and the time correction over time with
// its round-trip time as error bars.
#pragma once

#include "monitor_run.h"

#include <string>

namespace maroquint::monitor {

// Draws `report` into `path`, an .svg or a .png file (by its name).
RecordStatus DrawWatchPlot(const std::string &path, const WatchReport &report,
                           const std::string &verdict);

class PlotRecorder final : public WatchRecorder {
 public:
  explicit PlotRecorder(std::string path) : path_(std::move(path)) {}
  // Tries the file at once, so that an unwritable path is known before the watch.
  RecordStatus Open();
  RecordStatus Finish(const WatchReport &report, const std::vector<std::string> &reasons,
                      int exit_status) override;

 private:
  std::string path_;
};

}  // namespace maroquint::monitor
