#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace {

// On Windows the C runtime runs the SIGINT handler on a thread of its own,
// so the flag must be a lock-free atomic, not just volatile.
static_assert(ATOMIC_BOOL_LOCK_FREE == 2,
              "the interrupt flag must be lock-free to be set from a signal handler");
std::atomic<bool> interrupted{false};

}  // namespace

extern "C" {
static void OnInterrupt(int signal_number) {
  interrupted.store(true);
  std::signal(signal_number, SIG_DFL);
}
}

namespace maroquint::monitor {

void InstallInterruptHandler() {
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
}

bool InterruptRequested() {
  return interrupted.load();
}

}  // namespace maroquint::monitor
