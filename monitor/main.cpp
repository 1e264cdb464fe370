#include "command_line.h"
#include "interrupt.h"
#include "lsl_marker_source.h"
#include "monitor_run.h"

#include <lsl_c.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

using namespace maroquint::monitor;

int main(int argc, char **argv) {
  const ParsedCommandLine command_line =
      ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (command_line.action) {
    case ParsedCommandLine::Action::Help:
      std::cout << HelpText();
      return kExitNormal;
    case ParsedCommandLine::Action::Version: {
      const int library = lsl_library_version();
      const int protocol = lsl_protocol_version();
      std::printf("maroquint-monitor %s (LSL library %d.%02d, protocol %d.%02d)\n",
                  MAROQUINT_VERSION, library / 100, library % 100, protocol / 100, protocol % 100);
      return kExitNormal;
    }
    case ParsedCommandLine::Action::UsageError:
      std::cerr << "maroquint-monitor: " << command_line.error << "\n"
                << UsageText() << "Try 'maroquint-monitor --help' for more information.\n";
      return kExitUsage;
    case ParsedCommandLine::Action::Run:
      break;
  }
  try {
    InstallInterruptHandler();
    LslMarkerSource source;
    // With --csv, standard output carries nothing but the CSV table.
    std::ostream &status = command_line.options.csv ? std::cerr : std::cout;
    const MonitorStreams out{std::cout, status, std::cerr};
    return RunMonitor(command_line.options, source, out, InterruptRequested);
  } catch (const std::exception &failure) {
    std::cerr << "maroquint-monitor: " << failure.what() << "\n";
    return kExitFailure;
  }
}
