#pragma once

// The driver of this process, as the exported functions reach it: built from
// the SIMDAQ environment variable at the first call, with the real clock,
// the trace file, the device's reservation, the amplifier's file and the
// gate; and Ctrl+C while the amplifier records.

#include <mutex>

#include "driver.h"

namespace maroquint::simdaq {

// Every call takes this lock; the process has one driver.
std::mutex &ProcessLock();
// The driver, built at the first call; the caller holds ProcessLock().
Driver &ProcessDriver();
// After each call, under the lock: a stop signal that came while the
// amplifier recorded finishes the file and is then raised again; the
// signals are caught only while it records.
void FollowRecording(Driver &driver);

}  // namespace maroquint::simdaq
