// Timers on std::chrono::steady_clock, the clock LocalClock() reads.
#pragma once

#include "net/platform.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <limits>

namespace maroquint::lsl::net {

// A wait of `seconds` on the steady clock; a deadline already past waits
// for nothing.
inline std::chrono::steady_clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(seconds > 0.0 ? seconds : 0.0));
}

// One timer for the next deadline a policy names on LocalClock(). It is
// re-armed only when that deadline moves, so that most events of a
// connection cost no timer operation.
class DeadlineTimer {
 public:
  static constexpr double kNever = std::numeric_limits<double>::infinity();

  explicit DeadlineTimer(asio::io_context &io) : timer_(io) {}

  // Runs `on_due` on the io_context once `deadline` has passed, unless
  // another deadline is set first; for kNever nothing runs.
  template <typename OnDue>
  void Set(double deadline, OnDue on_due) {
    if (deadline == armed_for_) return;
    armed_for_ = deadline;
    if (deadline == kNever) {
      timer_.cancel();
      return;
    }
    timer_.expires_after(Seconds(deadline - LocalClock()));
    timer_.async_wait([this, on_due](const asio::error_code &ec) {
      if (ec) return;
      armed_for_ = kNever;
      on_due();
    });
  }

  // Nothing runs until a deadline is set again.
  void Cancel() {
    armed_for_ = kNever;
    timer_.cancel();
  }

 private:
  asio::steady_timer timer_;
  double armed_for_ = kNever;
};

}  // namespace maroquint::lsl::net
