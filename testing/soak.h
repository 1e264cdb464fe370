#pragma once

// A long run of the program on the virtual clock with an LSL consumer that
// is connected before the first marker (the device's gate opens once it
// is): what the consumer got and what the program's memory did. Shared by
// the program tests of the simulated device and the soak benchmark.

#include <string>

#include "base/result.h"

namespace maroquint::harness {

struct SoakOptions {
  std::string program;  // the built maroquint
  long cycles = 3600;   // pulse cycles, one marker each
  // The consumer process is stopped (SIGSTOP) from before the first marker
  // until the program has ended its run, then goes on (SIGCONT).
  bool pause_whole_run = false;
  // Or it is stopped this many seconds after the first sample, for
  // pause_seconds; 0: never.
  double pause_after = 0.0;
  double pause_seconds = 0.0;
};

struct SoakFigures {
  long pushed = 0;
  long received = 0;
  long lost = 0;
  long out_of_order = 0;      // time stamps not after the one before
  double wall_seconds = 0.0;  // from the gate's opening to the program's last marker
  long rss_start_kib = 0;     // the program's resident set before the first marker
  long rss_end_kib = 0;       // and after the last
};

// Why a run has no figures; the message says what was seen.
enum class SoakError {
  kNoPipes,            // the pipes to the consumer process cannot be made
  kProgramNotStarted,  // the program did not start its run
  kConsumerNotReady,   // the consumer did not find or connect to the stream
  kGateNotOpened,      // the device's gate cannot be opened
  kRunNotEnded,        // the program did not end its run in time
  kRunEndedOtherwise,  // the run ended, but not with the planned device error
  kNoConsumerCount,    // the consumer did not say what it received
};
using SoakResult = base::Result<SoakFigures, SoakError>;

// POSIX only: the consumer runs in a child process so that it can be stopped.
SoakResult RunSoak(const SoakOptions &options);

}  // namespace maroquint::harness
