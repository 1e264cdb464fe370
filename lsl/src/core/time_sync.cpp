#include "core/time_sync.h"

#include "core/protocol/timedata.h"
#include "core/stream_info.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace maroquint::lsl::core {
TimeSyncRound::TimeSyncRound(std::int32_t wave_id, double start, TimeSyncSettings settings)
    : wave_id_(wave_id), start_(start), settings_(settings) {
  settings_.burst = std::max(1, settings_.burst);
  probes_.reserve(static_cast<std::size_t>(settings_.probe_count) *
                  static_cast<std::size_t>(settings_.burst));
}

std::optional<double> TimeSyncRound::NextProbeTime() const {
  const std::size_t burst = static_cast<std::size_t>(settings_.burst);
  if (probes_.size() >= static_cast<std::size_t>(settings_.probe_count) * burst)
    return std::nullopt;
  return start_ + static_cast<double>(probes_.size() / burst) * settings_.probe_interval;
}

std::string TimeSyncRound::TakeProbe(double now) {
  // Keep t0 as the peer will read it back, so the echo can be matched exactly.
  double sent = now;
  ParseFinite(FormatNumber(now), sent);
  probes_.push_back(Probe{sent, std::nullopt});
  return FormatTimeProbe(wave_id_, sent);
}

void TimeSyncRound::OnReply(std::string_view datagram, double now) {
  const std::optional<TimeReply> reply = ParseTimeReply(datagram);
  if (!reply || reply->wave_id != wave_id_) return;
  // The echo is the probe's t0 reformatted; the probes of a burst may be
  // only a microsecond apart, so the nearest within a tolerance is its own.
  Probe *match = nullptr;
  double nearest = 1e-6;
  for (Probe &p : probes_) {
    const double distance = std::fabs(p.t0 - reply->t0);
    if (distance < nearest) {
      nearest = distance;
      match = &p;
    }
  }
  if (match == nullptr) return;
  const double t0 = match->t0;
  const double rtt = (now - t0) - (reply->t2 - reply->t1);
  // A round trip below zero cannot be: a clock read went wrong (a kernel
  // stamp taken on the wall clock, which was set while the datagram
  // waited), and the probe says nothing.
  if (!(rtt >= 0.0)) return;
  if (!match->rtt || rtt < *match->rtt) {
    match->rtt = rtt;
    match->offset = ((reply->t1 - t0) + (reply->t2 - now)) / 2.0;
    match->remote = (reply->t1 + reply->t2) / 2.0;
  }
}

double TimeSyncRound::EvaluateAt() const {
  return start_ + settings_.probe_max_rtt + settings_.probe_count * settings_.probe_interval;
}

double TimeSyncRound::NextRoundAt() const {
  return std::max(start_ + settings_.update_interval, EvaluateAt());
}

std::optional<TimeEstimate> TimeSyncRound::Evaluate() const {
  int answered = 0;
  const Probe *best = nullptr;
  for (const Probe &p : probes_) {
    if (!p.rtt) continue;
    ++answered;
    if (best == nullptr || *p.rtt < *best->rtt) best = &p;
  }
  if (answered < settings_.min_probes || best == nullptr) return std::nullopt;
  return TimeEstimate{-best->offset, *best->rtt, best->remote};
}

}  // namespace maroquint::lsl::core
