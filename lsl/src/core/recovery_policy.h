// An inlet's way back to its stream, driven by explicit time and events:
// after the data connection broke, a pause and then a resolve by source id
// until the stream, or a single new instance of its source, answers; and a
// watchdog for a connection that stays silent, which now and then asks
// whether the stream still answers (when only a new instance of its source
// does, the outlet was replaced without closing the connection). It decides
// which resolve to run and when; the caller runs them and reports back.
#pragma once

#include "core/config.h"
#include "core/stream_info.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace maroquint::lsl::core {

struct RecoverySettings {
  double watchdog_check_interval = 15.0;
  double watchdog_time_threshold = 15.0;
  double multicast_min_rtt = 0.5;
};
RecoverySettings RecoverySettingsFor(const Config &config);

// A resolve the caller is to run, and report with its id.
struct Lookup {
  enum class Kind {
    // the connection broke: look until the stream is found
    kRecovery,
    // the connection is silent: does the stream still answer?
    kWatchdogProbe
  };
  Kind kind = Kind::kRecovery;
  uint64_t id = 0;
  std::string query;
  int minimum = 0;
  double timeout = 0.0;
};

class RecoveryPolicy {
 public:
  static constexpr double kForever = std::numeric_limits<double>::infinity();
  // Pause before looking again after a broken connection or a failed resolve.
  static constexpr double kRetryDelay = 0.5;
  // The shortest time between two watchdog checks.
  static constexpr double kMinCheckInterval = 0.05;
  // A recovery resolve keeps looking until it finds the stream.
  static constexpr double kRecoveryTimeout = 32000000.0;

  explicit RecoveryPolicy(RecoverySettings settings);

  // The stream the inlet connects to now; the first call starts the watchdog.
  void Follow(const StreamInfo &stream, double now);
  // Data or a keep-alive came in.
  void Activity(double now);
  // The connection broke: a recovery lookup follows after a pause.
  void ConnectionLost(double now);
  // Ends a recovery or a probe under way (the stream was closed): their
  // results no longer count. The watchdog keeps its schedule.
  void Stop();

  // The lookup due at `now`, if any; each is handed out once. `connected`:
  // whether the data connection is up now.
  std::optional<Lookup> TakeDueLookup(double now, bool connected);
  // When the next lookup may be due.
  double NextWakeup() const;
  // A lookup ended with these streams: the stream to connect to from now
  // on, if any. Results of a lookup Stop() ended are ignored.
  std::optional<StreamInfo> OnLookupDone(uint64_t id, const std::vector<StreamInfo> &found,
                                         bool connected, double now);

  const StreamInfo &Followed() const { return followed_; }

 private:
  Lookup MakeLookup(Lookup::Kind kind);

  RecoverySettings settings_;
  StreamInfo followed_;
  double last_activity_ = 0.0;
  double next_retry_ = kForever;
  double next_check_ = kForever;
  // 0 while none is under way.
  uint64_t recovery_id_ = 0;
  uint64_t probe_id_ = 0;
  uint64_t last_id_ = 0;
};

}  // namespace maroquint::lsl::core
