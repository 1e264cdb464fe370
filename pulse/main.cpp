#include "analog_loopback.h"
#include "command_line.h"
#include "marker_outlet.h"
#include "run_sequence.h"

#include <cstdio>

namespace maroquint::pulse {

using loopback::AnalogLoopback;
using markers::MarkerOutlet;

namespace {

constexpr int kUsageStatus = 64;  // EX_USAGE

constexpr const char *kUsage = "usage: maroquint [--help | --version]\n";

constexpr const char *kHelp =
    "Drives a 5 V, 3 ms pulse once a second on Dev1/ao0, watches it come back on Dev1/ai0,\n"
    "and publishes the marker \"/Experiment Control/Synchronization/Trigger/Biosemi\" at\n"
    "each rising edge on the LSL marker stream \"Maroquint\". It runs until the device\n"
    "reports an error, then prints the error and waits for Enter.\n"
    "\n"
    "The program takes no arguments; device, channels, rates and the stream are fixed.\n"
    "  -h, --help  print this help and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Exit status: 1 after a device error or when the stream cannot be created;\n"
    "64 for an argument it does not take.\n";

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

int Main(int argc, char **argv) {
  // Answered before the stream or the device is touched: on real hardware
  // a run drives the output.
  const auto command_line = ParseCommandLine(argc, argv);
  if (!command_line) {
    std::fprintf(stderr, "maroquint: unknown argument '%s'\n%s", command_line.Message().c_str(),
                 kUsage);
    return kUsageStatus;
  }
  switch (*command_line) {
    case CommandLineAction::kPrintHelp:
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return 0;
    case CommandLineAction::kPrintVersion:
      std::printf("maroquint %s\n", MAROQUINT_VERSION);
      return 0;
    case CommandLineAction::kRun:
      break;
  }
  MarkerOutlet outlet;
  AnalogLoopback loopback;
  StdConsole console;
  return RunSequence(outlet, loopback, console);
}

}  // namespace maroquint::pulse

int main(int argc, char **argv) {
  return maroquint::pulse::Main(argc, argv);
}
