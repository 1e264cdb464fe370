// A simulated day: the program runs 86,400 pulse cycles on the virtual clock
// with an LSL consumer connected from before the first marker, once with the
// consumer reading throughout and once with it stopped (SIGSTOP) for a while
// in the middle of the run. Prints what was pushed, received, lost and out
// of order, the wall time and the program's resident memory at the start and
// the end. A measurement: the soak test checks a simulated hour.
//
// Usage: soak_bench [cycles [pause-seconds]]   (defaults 86400 and 60; run it
// through tools/netns-run so that its stream stays on this machine)

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "soak.h"

namespace {

using maroquint::harness::RunSoak;
using maroquint::harness::SoakOptions;
using maroquint::harness::SoakResult;

bool Report(const std::string &title, const SoakResult &r) {
  std::printf("%s\n", title.c_str());
  if (!r.Ok()) {
    std::printf("  failed: %s\n", r.Message().c_str());
    return false;
  }
  std::printf("  markers pushed    %ld\n", r->pushed);
  std::printf("  received          %ld\n", r->received);
  std::printf("  lost              %ld\n", r->lost);
  std::printf("  out of order      %ld\n", r->out_of_order);
  std::printf("  wall time         %.1f s\n", r->wall_seconds);
  std::printf("  RSS at the start  %ld KiB\n", r->rss_start_kib);
  std::printf("  RSS at the end    %ld KiB (%+ld KiB)\n", r->rss_end_kib,
              r->rss_end_kib - r->rss_start_kib);
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  SoakOptions o;
  o.program = MAROQUINT_PROGRAM;
  o.cycles = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 86400;
  const double pause = argc > 2 ? std::strtod(argv[2], nullptr) : 60.0;
  if (o.cycles < 1 || o.cycles > 10000000 || !(pause >= 0 && pause <= 3600)) {
    std::fprintf(stderr,
                 "usage: soak_bench [cycles (1 to 10000000) [pause-seconds (0 to 3600)]]\n");
    return 2;
  }
  bool ok = Report("consumer reading throughout", RunSoak(o));
  if (pause > 0) {
    // Stopped soon after the start, so that the pause falls inside the run.
    o.pause_after = 5.0;
    o.pause_seconds = pause;
    ok = Report(maroquint::base::Format("consumer stopped for %g s, from %g s into the run", pause,
                                        o.pause_after),
                RunSoak(o)) &&
         ok;
  }
  return ok ? 0 : 1;
}
