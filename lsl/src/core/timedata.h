// The outlet's half of time synchronisation: `LSL:timedata` probes in,
// " <wave-id> <t0> <t1> <t2>" replies out.
#ifndef LSL_CORE_TIMEDATA_H
#define LSL_CORE_TIMEDATA_H

#include <optional>
#include <string>
#include <string_view>

namespace lsl::core {

struct TimeProbe {
  std::string wave_id;  // echoed verbatim (liblsl sends a C int)
  double t0 = 0.0;
};

// nullopt for anything that is not a well-formed timedata datagram.
std::optional<TimeProbe> parse_time_probe(std::string_view datagram);
// t1: clock when the datagram arrived; t2: clock when the reply is built.
std::string format_time_reply(const TimeProbe &probe, double t1, double t2);

}  // namespace lsl::core

#endif
