#include "core/recovery_policy.h"

#include "core/query.h"

#include <algorithm>

namespace maroquint::lsl::core {

RecoverySettings RecoverySettingsFor(const Config &config) {
  RecoverySettings s;
  s.watchdog_check_interval = config.watchdog_check_interval;
  s.watchdog_time_threshold = config.watchdog_time_threshold;
  s.multicast_min_rtt = config.multicast_min_rtt;
  return s;
}

RecoveryPolicy::RecoveryPolicy(RecoverySettings settings) : settings_(settings) {}

void RecoveryPolicy::Follow(const StreamInfo &stream, double now) {
  followed_ = stream;
  last_activity_ = now;
  if (next_check_ == kForever)
    next_check_ = now + std::max(kMinCheckInterval, settings_.watchdog_check_interval);
}

void RecoveryPolicy::Activity(double now) {
  last_activity_ = now;
}

void RecoveryPolicy::ConnectionLost(double now) {
  next_retry_ = now + kRetryDelay;
}

void RecoveryPolicy::Stop() {
  next_retry_ = kForever;
  recovery_id_ = 0;
  probe_id_ = 0;
}

Lookup RecoveryPolicy::MakeLookup(Lookup::Kind kind) {
  Lookup lookup;
  lookup.kind = kind;
  lookup.id = ++last_id_;
  lookup.query = BuildRecoveryQuery(followed_);
  if (kind == Lookup::Kind::kRecovery) {
    lookup.minimum = 1;
    lookup.timeout = kRecoveryTimeout;
  } else {
    // Two query waves' worth of listening, for every stream that answers.
    lookup.minimum = 0;
    lookup.timeout = 2 * settings_.multicast_min_rtt;
  }
  return lookup;
}

std::optional<Lookup> RecoveryPolicy::TakeDueLookup(double now, bool connected) {
  if (now >= next_retry_) {
    next_retry_ = kForever;
    Lookup lookup = MakeLookup(Lookup::Kind::kRecovery);
    recovery_id_ = lookup.id;
    return lookup;
  }
  if (now >= next_check_) {
    next_check_ = now + std::max(kMinCheckInterval, settings_.watchdog_check_interval);
    if (connected && recovery_id_ == 0 && probe_id_ == 0 &&
        now - last_activity_ >= settings_.watchdog_time_threshold) {
      Lookup lookup = MakeLookup(Lookup::Kind::kWatchdogProbe);
      probe_id_ = lookup.id;
      return lookup;
    }
  }
  return std::nullopt;
}

double RecoveryPolicy::NextWakeup() const {
  return std::min(next_retry_, next_check_);
}

std::optional<StreamInfo> RecoveryPolicy::OnLookupDone(uint64_t id,
                                                       const std::vector<StreamInfo> &found,
                                                       bool connected, double now) {
  if (id != 0 && id == recovery_id_) {
    recovery_id_ = 0;
    const StreamInfo *next = nullptr;
    for (const StreamInfo &info : found) {
      if (info.uid == followed_.uid) next = &info;
    }
    // Exactly one other stream of the same source: the outlet was restarted.
    if (next == nullptr && found.size() == 1) next = &found.front();
    if (next == nullptr) {
      ConnectionLost(now);
      return std::nullopt;
    }
    return *next;
  }
  if (id != 0 && id == probe_id_) {
    probe_id_ = 0;
    // The stream is silent, does not answer, and a single stream of the
    // same source does: the outlet was replaced without closing our
    // connection.
    if (!connected || found.size() != 1 || found.front().uid == followed_.uid) return std::nullopt;
    return found.front();
  }
  return std::nullopt;
}

}  // namespace maroquint::lsl::core
