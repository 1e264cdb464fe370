// The end of a watch: the last alerts, the summary, the verdict, the exit
// status and the records finished.
#pragma once

#include "outlet_detection.h"
#include "watch_output.h"
#include "watch_tally.h"

#include <vector>

namespace maroquint::monitor {

// A watch of a found stream that ended at `end` (monitor's clock).
int EndWatch(WatchContext &watch, WatchTally &tally, const OutletPresence &presence, double end);

// A watch that never found its stream.
int EndWithoutStream(const Options &options, const MonitorStreams &out,
                     const std::vector<WatchRecorder *> &recorders);

}  // namespace maroquint::monitor
