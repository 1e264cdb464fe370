// The few things the library reads from the host: the clock, the host name
// and random bytes.
#ifndef LSL_NET_PLATFORM_H
#define LSL_NET_PLATFORM_H

#include <array>
#include <cstdint>
#include <string>

namespace lsl::net {

// Seconds on std::chrono::steady_clock (CLOCK_MONOTONIC on Linux), whole
// seconds and the remainder added separately as liblsl does, so both
// libraries on one host read the same clock.
double local_clock();
std::string host_name();
std::array<uint8_t, 16> random_bytes16();

} // namespace lsl::net

#endif
