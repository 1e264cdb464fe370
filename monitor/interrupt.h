// The platform seam for Ctrl+C: the first interrupt (SIGINT, or SIGTERM where
// it exists) only sets a flag the main loop polls, so the watch ends with its
// summary; the handler then steps aside, so a second Ctrl+C ends the process
// at once should the monitor be stuck.
#pragma once

namespace maroquint::monitor {

void InstallInterruptHandler();
bool InterruptRequested();

}  // namespace maroquint::monitor
