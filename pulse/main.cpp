#include "AnalogLoopback.h"
#include "MarkerOutlet.h"
#include "RunSequence.h"

#include <cstdio>

namespace {

class StdConsole {
 public:
  // Flushed at once: a consumer watching the output must see each line
  // when it happens, not when a buffer fills.
  void Write(const char *text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
  }

  // One character; in a console that is the Enter key, and end of input
  // ends the wait too.
  void WaitForKey() { std::getchar(); }
};

}  // namespace

// The command line is not read: the program has no arguments or options.
int main() {
  MarkerOutlet outlet;
  AnalogLoopback loopback;
  StdConsole console;
  return RunSequence(outlet, loopback, console);
}
