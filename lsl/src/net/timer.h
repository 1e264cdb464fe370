// Timers on std::chrono::steady_clock, the clock LocalClock() reads.
#pragma once

#include <chrono>

namespace maroquint::lsl::net {

// A wait of `seconds` on the steady clock; a deadline already past waits
// for nothing.
inline std::chrono::steady_clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds > 0.0 ? seconds : 0.0));
}

}  // namespace maroquint::lsl::net
