// The program's command line: it takes no arguments, but a user who asks
// for help or the version must get them without the device being driven,
// and a mistyped argument must not start a run either.
#ifndef COMMAND_LINE_H
#define COMMAND_LINE_H

#include <string>

enum class CommandLineAction { Run, PrintHelp, PrintVersion, Refuse };

struct CommandLine {
  CommandLineAction action = CommandLineAction::Run;
  std::string refused;  // the first argument not understood
};

inline CommandLine ParseCommandLine(int argc, const char *const *argv) {
  CommandLine line;
  if (argc <= 1) return line;
  const std::string first = argv[1];
  if (argc == 2 && (first == "--help" || first == "-h")) {
    line.action = CommandLineAction::PrintHelp;
  } else if (argc == 2 && first == "--version") {
    line.action = CommandLineAction::PrintVersion;
  } else {
    line.action = CommandLineAction::Refuse;
    line.refused = first == "--help" || first == "-h" || first == "--version" ? argv[2] : first;
  }
  return line;
}

#endif
