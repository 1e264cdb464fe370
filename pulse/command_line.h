// The program's command line: it takes no arguments, but a user who asks
// for help or the version must get them without the device being driven,
// and a mistyped argument must not start a run either.
#pragma once

#include <string>

#include "base/result.h"

namespace maroquint::pulse {

enum class CommandLineAction { kRun, kPrintHelp, kPrintVersion };

// The one way the line can be wrong; the message is the first argument not
// understood, as the user typed it.
enum class CommandLineError { kUnknownArgument };

inline maroquint::base::Result<CommandLineAction, CommandLineError> ParseCommandLine(
    int argc, const char *const *argv) {
  if (argc <= 1) return CommandLineAction::kRun;
  const std::string first = argv[1];
  if (argc == 2 && (first == "--help" || first == "-h")) return CommandLineAction::kPrintHelp;
  if (argc == 2 && first == "--version") return CommandLineAction::kPrintVersion;
  return maroquint::base::Fail(
      CommandLineError::kUnknownArgument,
      first == "--help" || first == "-h" || first == "--version" ? argv[2] : first);
}

}  // namespace maroquint::pulse
