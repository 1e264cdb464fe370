// The monitor's main loop, written against MarkerSource so that the loop's
// decisions (when to stop, probe, refresh the time correction, give up) run
// the same over LSL and over a scripted source with a simulated clock.
#ifndef MAROQUINT_MONITOR_MONITOR_RUN_H
#define MAROQUINT_MONITOR_MONITOR_RUN_H

#include "command_line.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace maroquint::monitor {

struct StreamDescription {
  std::string name;
  std::string type;
  std::string source_id;
  std::string hostname;
  std::string uid;
};

struct Pulled {
  enum class Kind { Nothing, Marker, Lost };
  Kind kind = Kind::Nothing;
  double timestamp = 0.0;  // sender's clock
  std::string text;
};

// How the sender's clock relates to the monitor's.
struct ClockEstimate {
  double correction = 0.0;  // add to the sender's time stamps to get the monitor's clock
  double round_trip =
      0.0;  // of the exchange the correction rests on: it is off by at most half of this
};

class MarkerSource {
 public:
  virtual ~MarkerSource() = default;
  // The monitor's clock, in seconds.
  virtual double Now() = 0;
  // Looks for a stream matching the query for at most `wait` seconds and,
  // when one is found, connects to it. Called again (with the time left)
  // until it succeeds or the search time is over.
  virtual std::optional<StreamDescription> Find(const StreamQuery &query, double wait) = 0;
  // Waits at most `wait` seconds for the next marker.
  virtual Pulled Pull(double wait) = 0;
  // The latest estimate, waiting at most `wait` seconds for a first one.
  virtual std::optional<ClockEstimate> TimeCorrection(double wait) = 0;
  // Whether the stream's outlet (the same source) can be found within
  // `wait` seconds; reconnects when the connection had been lost.
  virtual bool Present(double wait) = 0;
};

struct MonitorStreams {
  std::ostream &markers;  // marker lines or CSV rows
  std::ostream &status;   // progress, stream events and the summary
  std::ostream &errors;   // why the monitor ends with a non-zero status
};

// Ends the watch when it returns true (e.g. after Ctrl+C).
using StopRequested = std::function<bool()>;

int RunMonitor(const Options &options, MarkerSource &source, const MonitorStreams &out,
               const StopRequested &stop_requested);

// Time-outs of the blocking calls of the loop; short enough to notice a stop
// request quickly, long enough not to spin.
struct MonitorPacing {
  static constexpr double kPull = 0.2;
  static constexpr double kFindSlice = 1.0;
  static constexpr double kProbe = 1.0;
  static constexpr double kFirstCorrection = 2.0;
  static constexpr double kCorrectionRefresh = 5.0;
};

}  // namespace maroquint::monitor

#endif
