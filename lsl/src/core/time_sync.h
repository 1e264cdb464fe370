// Consumer side of clock synchronisation: one round of timedata probes
// turned into an estimate of how far the outlet's clock is from ours. Time
// is always passed in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace maroquint::lsl::core {

// Probes sent back to back at each probe time by the library's inlets. The
// first of a burst goes through code and kernel paths gone cold since the
// last, and takes tens of microseconds longer to leave than the outlet's
// warm reply: half that difference would be an error in the offset. The
// later ones of a burst leave as quickly as the reply, and their smaller
// round trip makes them the ones kept.
constexpr int kProbeBurst = 3;

struct TimeSyncSettings {
  int probe_count = 8;
  int burst = 1;  // probes per probe time
  double probe_interval = 0.064;
  double probe_max_rtt = 0.128;
  int min_probes = 6;
  // From one round's start to the next's.
  double update_interval = 2.0;
};

struct TimeEstimate {
  double correction = 0.0;   // add to an outlet time stamp to get local time
  double rtt = 0.0;          // round trip of the winning probe: the uncertainty
  double remote_time = 0.0;  // outlet clock at the winning probe
};

// One round: probe_count bursts of `burst` probes, probe_interval apart from
// start, evaluated at
// start + probe_max_rtt + probe_count * probe_interval. Replies of another
// wave, or not matching a probe of this round, are ignored.
class TimeSyncRound {
 public:
  TimeSyncRound(std::int32_t wave_id, double start, TimeSyncSettings settings = {});

  // When the next probe is due (a burst's probes all at once); empty once
  // all probes are sent.
  std::optional<double> NextProbeTime() const;
  // The datagram of the next probe, stamped with now as t0.
  std::string TakeProbe(double now);
  void OnReply(std::string_view datagram, double now);

  double EvaluateAt() const;
  // When the next round starts: update_interval after this one's start, but
  // not before this one is evaluated.
  double NextRoundAt() const;
  // The estimate of the probe with the smallest round trip, provided
  // min_probes probes were answered.
  std::optional<TimeEstimate> Evaluate() const;

 private:
  struct Probe {
    double t0;
    std::optional<double> rtt;
    double offset = 0.0;
    double remote = 0.0;
  };
  std::int32_t wave_id_;
  double start_;
  TimeSyncSettings settings_;
  std::vector<Probe> probes_;
};

}  // namespace maroquint::lsl::core
