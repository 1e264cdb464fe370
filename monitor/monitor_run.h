// The monitor's main loop, written against MarkerSource so that the loop's
// decisions (when to stop, probe, refresh the time correction, give up) run
// the same over LSL and over a scripted source with a simulated clock.
#pragma once

#include "command_line.h"
#include "marker_format.h"
#include "watch_report.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/result.h"

namespace maroquint::monitor {

struct Pulled {
  enum class Kind { kNothing, kMarker, kLost };
  Kind kind = Kind::kNothing;
  double timestamp = 0.0;  // sender's clock
  std::string text;        // the channels' texts joined by commas
  std::vector<std::string> channels;
};

// How the sender's clock relates to the monitor's.
struct ClockEstimate {
  double correction = 0.0;  // add to the sender's time stamps to get the monitor's clock
  double round_trip =
      0.0;  // of the exchange the correction rests on: it is off by at most half of this
};

struct FindResult {
  // Every stream that matched; the source is connected to the first.
  std::vector<StreamDescription> matches;
  // When none matched: the streams that would have, with letter case ignored.
  std::vector<StreamDescription> other_case;
};

class MarkerSource {
 public:
  virtual ~MarkerSource() = default;
  // The monitor's clock, in seconds.
  virtual double Now() = 0;
  // The wall-clock time, in seconds since 1970-01-01 00:00 UTC.
  virtual double SystemTime() = 0;
  // Every stream that answers within `wait` seconds.
  virtual std::vector<StreamDescription> List(double wait) = 0;
  // Looks for a stream matching the query for at most `wait` seconds and,
  // when one is found, connects to it. Called again (with the time left)
  // until it succeeds or the search time is over.
  virtual FindResult Find(const StreamQuery &query, double wait) = 0;
  // Waits at most `wait` seconds for the next marker.
  virtual Pulled Pull(double wait) = 0;
  // The latest estimate, waiting at most `wait` seconds for a first one.
  virtual std::optional<ClockEstimate> TimeCorrection(double wait) = 0;
  // The outlets of the stream (the same source id; the same uid for a
  // stream without one) that answer within `wait` seconds, none when it is
  // gone; reconnects when the connection had been lost.
  virtual std::vector<StreamDescription> Present(double wait) = 0;
  // The outlet the connection reaches now (a new one after the program
  // restarted), asked within `wait` seconds; none when it does not answer.
  virtual std::optional<StreamDescription> Outlet(double wait) = 0;
  // The streams that match the query and answer within `wait` seconds,
  // without connecting to any: a second instance of the program shows here.
  virtual std::vector<StreamDescription> Matching(const StreamQuery &query, double wait) = 0;
  // This machine's host name, the one LSL gives its own streams.
  virtual std::string HostName() = 0;
};

struct MonitorStreams {
  std::ostream &markers;  // marker lines or CSV rows
  std::ostream &status;   // progress, stream events and the summary
  std::ostream &errors;   // why the monitor ends with a non-zero status
};

// Ends the watch when it returns true (e.g. after Ctrl+C).
using StopRequested = std::function<bool()>;

struct MarkerRecord {
  MarkerRow row;
  double received = 0.0;  // monitor's clock
  std::vector<std::string> channels;
};

// How keeping a record of the watch (a file) can fail.
enum class RecordError { kCreate, kWrite, kClose };
using RecordStatus = base::Status<RecordError>;

// Something that keeps a record of the watch, e.g. a file. A failed call
// ends the watch with status kExitWriteFailed, its message on standard
// error; Finish is still called so that what was written is closed properly.
class WatchRecorder {
 public:
  virtual ~WatchRecorder() = default;
  virtual RecordStatus StreamFound(const StreamDescription &stream, double now);
  // Another stream that matches the search (e.g. a second instance of the program).
  virtual RecordStatus OtherStreamFound(const StreamDescription &stream, double now);
  // The watched stream went on from a new outlet (a new uid): a restart.
  virtual RecordStatus OutletChanged(const StreamDescription &outlet, double now);
  virtual RecordStatus MarkerReceived(const MarkerRecord &marker);
  virtual RecordStatus CorrectionMeasured(double now, const ClockEstimate &estimate);
  virtual RecordStatus Finish(const WatchReport &report, const std::vector<std::string> &reasons,
                              int exit_status);
};

int RunMonitor(const Options &options, MarkerSource &source, const MonitorStreams &out,
               const StopRequested &stop_requested,
               const std::vector<WatchRecorder *> &recorders = {});

// --list: every stream on the network, one line each or (xml) each one's
// full description. Always kExitNormal.
int ListStreams(MarkerSource &source, bool xml, std::ostream &out, std::ostream &errors);

// Time-outs of the blocking calls of the loop; short enough to notice a stop
// request quickly, long enough not to spin.
struct MonitorPacing {
  static constexpr double kPull = 0.2;
  static constexpr double kFindSlice = 1.0;
  static constexpr double kProbe = 1.0;
  static constexpr double kOutlet = 0.5;
  // A look for other streams that match, while markers flow.
  static constexpr double kLookAround = 0.3;
  static constexpr double kLookAroundEvery = 10.0;
  static constexpr double kFirstCorrection = 2.0;
  static constexpr double kCorrectionRefresh = 5.0;
  static constexpr double kList = 2.0;
};

}  // namespace maroquint::monitor
