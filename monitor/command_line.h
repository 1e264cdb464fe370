// The monitor's command line: what it asks for and how it is parsed (with
// CLI11). Parsing is pure (no I/O), so every rule here is checked by unit tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"

namespace maroquint::monitor {

// Exit statuses of the tool; the numbers are part of its interface.
enum ExitStatus : int {
  kExitNormal = 0,
  kExitFailure = 1,      // an unexpected internal failure
  kExitNoStream = 2,     // no matching stream found within --timeout
  kExitStreamLost = 3,   // the outlet went away and did not come back within --timeout
  kExitUnhealthy = 4,    // the watch ended, but the verdict is UNHEALTHY
  kExitWriteFailed = 5,  // an output file could not be written
  kExitUsage = 64,       // bad command line (EX_USAGE of BSD's sysexits.h)
};

// Which stream to watch. An empty field is not used; a stream has to match
// every field that is set.
struct StreamQuery {
  std::string name;
  std::string type;
  std::string source_id;
};

struct Options {
  StreamQuery query;
  double timeout = 10.0;
  bool csv = false;
  bool quiet = false;  // no line per marker
  std::optional<std::int64_t> count;
  std::optional<double> duration;
  double period = 1.0;
  std::optional<double> every;  // seconds between rolling status lines
  // Health limits.
  std::int64_t max_missed = 0;
  double max_jitter = 0.002;
  // Files; empty when not asked for.
  std::string output;
  std::string xdf;
  std::string json;
  std::string plot;
};

struct ParsedCommandLine {
  enum class Action { kRun, kList, kHelp, kVersion };
  Action action = Action::kRun;
  Options options;
  bool list_xml = false;  // List: each stream's full XML rather than one line
};

// How a command line can be wrong; each is a usage error (kExitUsage), and
// the message names the argument.
enum class CommandLineError {
  kUnknownArgument,   // an option or argument the monitor does not take
  kMissingValue,      // an option without its value
  kBadValue,          // a value the option refuses
  kMissingCompanion,  // an option that goes only with another (--xml without --list)
  kMalformed,         // anything else the parser cannot read
};

// The stream name looked for when no --name, --type or --source-id is given.
inline constexpr const char *kDefaultStreamName = "Maroquint";

// `args` excludes the program name.
base::Result<ParsedCommandLine, CommandLineError> ParseCommandLine(
    const std::vector<std::string> &args);

std::string UsageText();
std::string HelpText();

// A one-line description of the query, e.g. `name "Maroquint"`.
std::string DescribeQuery(const StreamQuery &query);

}  // namespace maroquint::monitor
