// Clock probes: the LSL:timedata datagram an inlet sends to an outlet's UDP
// service port, and the outlet's " <wave-id> <t0> <t1> <t2>" reply. Numbers
// travel as text with 16 significant digits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace maroquint::lsl::core {

// "LSL:timedata\r\n<wave-id> <t0>\r\n"
std::string FormatTimeProbe(int32_t wave_id, double t0);

struct TimeProbe {
  std::string wave_id;  // echoed verbatim (liblsl sends a C int)
  double t0 = 0.0;
};
// nullopt for anything that is not a well-formed timedata datagram.
std::optional<TimeProbe> ParseTimeProbe(std::string_view datagram);

// t1: outlet clock when the probe arrived; t2: when the reply is built.
std::string FormatTimeReply(const TimeProbe &probe, double t1, double t2);

struct TimeReply {
  int32_t wave_id = 0;
  double t0 = 0.0;  // the prober's send time, echoed
  double t1 = 0.0;  // outlet clock on arrival
  double t2 = 0.0;  // outlet clock when replying
};
// Anything but four finite fields (or an oversized datagram) is rejected.
std::optional<TimeReply> ParseTimeReply(std::string_view datagram);

}  // namespace maroquint::lsl::core
