#include "command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace maroquint::monitor {
namespace {

// Numbers are read in full: "1.5s", "", " 2" or "nan" are refused rather than
// half-read, so that a typo never silently becomes another value.
std::optional<double> ParsePositiveSeconds(const std::string &text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  errno = 0;
  char *end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
  if (!std::isfinite(value) || value <= 0.0) return std::nullopt;
  return value;
}

std::optional<std::int64_t> ParsePositiveCount(const std::string &text) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  errno = 0;
  char *end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || value <= 0) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

ParsedCommandLine UsageError(std::string message) {
  ParsedCommandLine result;
  result.action = ParsedCommandLine::Action::UsageError;
  result.error = std::move(message);
  return result;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string> &args) {
  ParsedCommandLine result;
  Options &options = result.options;
  bool help = false;
  bool version = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') return UsageError("unexpected argument '" + arg + "'");
    std::string option = arg;
    std::optional<std::string> inline_value;
    const std::size_t equals = arg.find('=');
    if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      option = arg.substr(0, equals);
      inline_value = arg.substr(equals + 1);
    }
    if (option == "--help" || option == "-h" || option == "--version" || option == "--csv") {
      if (inline_value) return UsageError("option '" + option + "' takes no value");
      if (option == "--version")
        version = true;
      else if (option == "--csv")
        options.csv = true;
      else
        help = true;
      continue;
    }
    const bool takes_value = option == "--name" || option == "--type" || option == "--source-id" ||
                             option == "--timeout" || option == "--count" ||
                             option == "--duration" || option == "--period";
    if (!takes_value) return UsageError("unknown option '" + option + "'");
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return UsageError("option '" + option + "' needs a value");
    }

    if (option == "--name" || option == "--type" || option == "--source-id") {
      if (value.empty()) return UsageError("option '" + option + "' needs a non-empty value");
      std::string &field = option == "--name"   ? options.query.name
                           : option == "--type" ? options.query.type
                                                : options.query.source_id;
      field = value;
    } else if (option == "--count") {
      const auto count = ParsePositiveCount(value);
      if (!count)
        return UsageError("option '--count' needs a whole number of at least 1, not '" + value +
                          "'");
      options.count = count;
    } else {
      const auto seconds = ParsePositiveSeconds(value);
      if (!seconds)
        return UsageError("option '" + option + "' needs a number of seconds above 0, not '" +
                          value + "'");
      if (option == "--timeout")
        options.timeout = *seconds;
      else if (option == "--duration")
        options.duration = seconds;
      else
        options.period = *seconds;
    }
  }
  if (help)
    result.action = ParsedCommandLine::Action::Help;
  else if (version)
    result.action = ParsedCommandLine::Action::Version;
  if (options.query.name.empty() && options.query.type.empty() && options.query.source_id.empty())
    options.query.name = kDefaultStreamName;
  return result;
}

std::string UsageText() {
  return "Usage: maroquint-monitor [--name NAME] [--type TYPE] [--source-id ID] [--timeout S]\n"
         "                         [--csv] [--count N] [--duration S] [--period S]\n"
         "       maroquint-monitor --help | --version\n";
}

std::string HelpText() {
  return "maroquint-monitor: watches a Lab Streaming Layer marker stream, prints every\n"
         "marker as it arrives and, at the end, the statistics of the intervals between\n"
         "markers, the pulses that went missing and the clock offset to the sender\n"
         "with the round-trip time it was measured over.\n"
         "\n" +
         UsageText() +
         "\n"
         "Choosing the stream (a string stream that matches every one given; without\n"
         "any of them the monitor looks for the name \"Maroquint\"):\n"
         "  --name NAME       stream name\n"
         "  --type TYPE       stream type, e.g. Markers\n"
         "  --source-id ID    source identifier; also what a restarted outlet is\n"
         "                    recognised by\n"
         "  --timeout S       seconds to search for the stream at start, and how long\n"
         "                    a vanished outlet may stay away (default 10)\n"
         "\n"
         "Output:\n"
         "  --csv             print the markers as CSV with a header row; status\n"
         "                    messages and the summary then go to standard error\n"
         "  --period S        the nominal interval between markers (default 1); an\n"
         "                    interval over 1.5 periods counts as missed pulses\n"
         "\n"
         "Ending (Ctrl+C always ends the watch and prints the summary):\n"
         "  --count N         stop after N markers\n"
         "  --duration S      stop after S seconds of watching\n"
         "\n"
         "  -h, --help        print this help and exit\n"
         "  --version         print the version and exit\n"
         "\n"
         "Exit status:\n"
         "  0   normal end (--count, --duration or Ctrl+C)\n"
         "  1   an unexpected internal failure\n"
         "  2   no matching stream was found within --timeout (or Ctrl+C ended the search)\n"
         "  3   the stream was lost: its outlet went away and did not come back\n"
         "      within --timeout\n"
         "  64  bad command line\n";
}

std::string DescribeQuery(const StreamQuery &query) {
  std::string text;
  const auto add = [&text](const char *what, const std::string &value) {
    if (value.empty()) return;
    if (!text.empty()) text += ", ";
    text += std::string(what) + " \"" + value + "\"";
  };
  add("name", query.name);
  add("type", query.type);
  add("source id", query.source_id);
  return text;
}

}  // namespace maroquint::monitor
