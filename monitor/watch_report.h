// What a watch found, gathered for the summary, the verdict and the files
// written at its end. Pure data and pure functions.
#pragma once

#include "interval_statistics.h"

#include "base/json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace maroquint::monitor {

struct StreamDescription {
  std::string name;
  std::string type;
  std::string source_id;
  std::string hostname;
  std::string uid;
  double created_at = 0.0;  // on its host's clock
  std::int32_t channel_count = 1;
  std::string channel_format = "string";
  double nominal_srate = 0.0;  // 0: irregular
  std::string xml;             // the full description, as the outlet declares it
};

// One line for a stream: name, type, channels, format, rate, source id, host.
std::string FormatStreamLine(const StreamDescription &stream);

// The same with its uid and how long it has existed: `now` is this
// machine's clock, which only a stream of this host (`local_host`) shares;
// a stream of another host gets its creation time on its own clock.
std::string FormatListedStream(const StreamDescription &stream, double now,
                               const std::string &local_host);

// A marker that closed an interval, for the pictures.
struct MarkerPoint {
  double at = 0.0;         // seconds since the watch began, monitor's clock
  double deviation = 0.0;  // interval - period
  std::int64_t missed = 0;
  IntervalKind kind = IntervalKind::kRegular;
};

// A new outlet of the watched stream (a new uid), seen `at` seconds after
// the watch began.
struct RestartPoint {
  double at = 0.0;
  StreamDescription outlet;
};

struct CorrectionPoint {
  double at = 0.0;  // seconds since the watch began
  double correction = 0.0;
  double round_trip = 0.0;
};

struct WatchReport {
  std::optional<StreamDescription> stream;  // none when no stream was found
  // The search, e.g. `name "Maroquint"`, and the other streams it found.
  std::string wanted;
  std::vector<StreamDescription> others;
  double period = 1.0;
  double max_jitter = 0.002;  // the limit, drawn in the picture
  double watched = 0.0;       // seconds from the stream's discovery to the end
  IntervalSummary intervals;
  std::int64_t missed_before_first = 0;  // from the discovery to the first marker
  std::int64_t missed_after_last = 0;    // from the last marker to the end
  CorrectionTrack corrections;
  std::int64_t reconnections = 0;
  std::vector<RestartPoint> restarts;
  bool lost = false;
  // The outlet was gone when the watch ended (lost, or not yet for --timeout),
  // since gone_at seconds after the watch began.
  bool gone_at_end = false;
  double gone_at = 0.0;
  double first_marker_at = 0.0;  // seconds since the watch began, when markers > 0
  double last_marker_at = 0.0;
  std::vector<MarkerPoint> markers;
  std::vector<CorrectionPoint> correction_points;

  std::int64_t MissedPulses() const {
    return intervals.missed_pulses + missed_before_first + missed_after_last;
  }
  // Every outlet watched, in order.
  std::vector<std::string> Uids() const;
};

struct HealthLimits {
  std::int64_t max_missed = 0;
  double max_jitter = 0.002;
};

// Every reason the watch was not healthy; none for a healthy one.
std::vector<std::string> UnhealthyReasons(const WatchReport &report, const HealthLimits &limits);

// "healthy" or "UNHEALTHY: reason; reason; ...".
std::string VerdictLine(const std::vector<std::string> &reasons);

// The summary and the verdict as one JSON object, for scripts (written with
// base::WriteJson).
base::Json JsonReport(const WatchReport &report, const std::vector<std::string> &reasons,
                      int exit_status);

}  // namespace maroquint::monitor
