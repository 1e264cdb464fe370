// The few things the library reads from the host: the clock, the host name
// and random bytes; and the one socket setting that differs by platform.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace maroquint::lsl::net {

// Seconds on std::chrono::steady_clock (CLOCK_MONOTONIC on Linux), whole
// seconds and the remainder added separately as liblsl does, so both
// libraries on one host read the same clock.
double LocalClock();
std::string HostName();
std::array<uint8_t, 16> RandomBytes16();

// Tells the scheduler that the calling thread serves others and should not
// preempt the thread that woke it (Linux: SCHED_BATCH; elsewhere nothing).
void YieldOnWakeup();

// Keeps a socket (its native handle) from the programs this process starts.
// An inherited socket outlives the outlet or resolver that opened it: its
// port stays bound, and a listener keeps taking connections nobody serves.
// Sockets are inherited by default on Windows, and without close-on-exec on
// POSIX systems.
void KeepFromChildProcesses(std::uintptr_t native_socket);

}  // namespace maroquint::lsl::net
