// LSL:timedata: probes arrive at an outlet's service port from anyone, and
// replies at a consumer's probe socket. One input goes to both sides.
#include "core/protocol/timedata.h"
#include "core/stream_info.h"
#include "core/time_sync.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// The probes of the transcripts' first time-correction round.
constexpr std::int32_t kWaveId = 1804289383;
constexpr double kProbeTimes[] = {1363.856082562, 1363.920318873, 1363.984578159, 1364.048784854,
                                  1364.112999032, 1364.177172985, 1364.244279335, 1364.308508363};

void Outlet(std::string_view datagram) {
  const auto probe = maroquint::lsl::core::ParseTimeProbe(datagram);
  if (!probe) return;
  const auto reply = maroquint::lsl::core::FormatTimeReply(*probe, 1364.5, 1364.75);
  // Every probe the outlet answers, with a finite time, must come back
  // readable with its wave id.
  if (reply.size() > 200 || !std::isfinite(probe->t0)) return;
  const auto seen = maroquint::lsl::core::ParseTimeReply(reply);
  if (!seen || seen->wave_id != maroquint::lsl::core::ParseInt(probe->wave_id) ||
      seen->t1 != 1364.5 || seen->t2 != 1364.75)
    std::abort();
}

void Consumer(std::string_view datagram) {
  maroquint::lsl::core::TimeSyncRound round(kWaveId, kProbeTimes[0]);
  for (double t : kProbeTimes) round.TakeProbe(t);
  round.OnReply(datagram, 1364.4);
  round.Evaluate();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view datagram(reinterpret_cast<const char *>(data), size);
  Outlet(datagram);
  Consumer(datagram);
  return 0;
}
