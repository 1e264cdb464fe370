#include "command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <CLI/CLI.hpp>

#include "base/text.h"

namespace maroquint::monitor {
namespace {

// Numbers are read in full: "1.5s", "", " 2" or "nan" are refused rather than
// half-read, so that a typo never silently becomes another value.
std::optional<double> ParseSeconds(const std::string &text, bool zero_allowed) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  errno = 0;
  char *end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
  if (!std::isfinite(value) || value < 0.0 || (value == 0.0 && !zero_allowed)) return std::nullopt;
  return value;
}

std::optional<std::int64_t> ParseCount(const std::string &text, bool zero_allowed) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  errno = 0;
  char *end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE) return std::nullopt;
  if (value < 0 || (value == 0 && !zero_allowed)) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::optional<double> ParsePositiveSeconds(const std::string &text) {
  return ParseSeconds(text, false);
}
std::optional<double> ParseSecondsOrZero(const std::string &text) {
  return ParseSeconds(text, true);
}
std::optional<std::int64_t> ParsePositiveCount(const std::string &text) {
  return ParseCount(text, false);
}
std::optional<std::int64_t> ParseCountOrZero(const std::string &text) {
  return ParseCount(text, true);
}

base::Error<CommandLineError> UsageError(const CLI::ParseError &failure) {
  CommandLineError code = CommandLineError::kMalformed;
  if (dynamic_cast<const CLI::ExtrasError *>(&failure))
    code = CommandLineError::kUnknownArgument;
  else if (dynamic_cast<const CLI::ArgumentMismatch *>(&failure))
    code = CommandLineError::kMissingValue;
  else if (dynamic_cast<const CLI::ValidationError *>(&failure))
    code = CommandLineError::kBadValue;
  else if (dynamic_cast<const CLI::RequiresError *>(&failure))
    code = CommandLineError::kMissingCompanion;
  return base::Fail(code, failure.what());
}

// A CLI11 check from a reader that returns nothing for a refused value.
template <typename Reader>
CLI::Validator Refuses(Reader read, const std::string &wanted) {
  return CLI::Validator(
      [read, wanted](std::string &value) {
        return read(value) ? std::string() : "needs " + wanted + ", not '" + value + "'";
      },
      "");
}

bool EndsWithIgnoringCase(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() &&
         base::EqualsIgnoreCase(std::string_view(text).substr(text.size() - suffix.size()), suffix);
}

}  // namespace

base::Result<ParsedCommandLine, CommandLineError> ParseCommandLine(
    const std::vector<std::string> &args) {
  ParsedCommandLine result;
  // Asking for help is answered whatever else is wrong on the line.
  for (const std::string &arg : args) {
    if (arg == "-h" || arg == "--help") {
      result.action = ParsedCommandLine::Action::kHelp;
      return result;
    }
  }
  Options &options = result.options;
  CLI::App app("maroquint-monitor");
  app.set_help_flag();
  // As with most tools, a repeated option takes its last value.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::string timeout, count, duration, period, every, max_missed, max_jitter;
  const auto non_empty = CLI::Validator(
      [](std::string &value) {
        return value.empty() ? std::string("needs a non-empty value") : "";
      },
      "");
  const auto seconds = Refuses(ParsePositiveSeconds, "a number of seconds above 0");
  app.add_option("--name", options.query.name)->check(non_empty);
  app.add_option("--type", options.query.type)->check(non_empty);
  app.add_option("--source-id", options.query.source_id)->check(non_empty);
  app.add_option("--timeout", timeout)->check(seconds);
  app.add_flag("--csv", options.csv);
  app.add_flag("--quiet", options.quiet);
  app.add_option("--count", count)
      ->check(Refuses(ParsePositiveCount, "a whole number of at least 1"));
  app.add_option("--duration", duration)->check(seconds);
  app.add_option("--period", period)->check(seconds);
  app.add_option("--every", every)->check(seconds);
  app.add_option("--max-missed", max_missed)
      ->check(Refuses(ParseCountOrZero, "a whole number of at least 0"));
  app.add_option("--max-jitter", max_jitter)
      ->check(Refuses(ParseSecondsOrZero, "a number of seconds of at least 0"));
  app.add_option("--output", options.output)->check(non_empty);
  app.add_option("--xdf", options.xdf)->check(non_empty);
  app.add_option("--json", options.json)->check(non_empty);
  app.add_option("--plot", options.plot)
      ->check(CLI::Validator(
          [](std::string &value) {
            return EndsWithIgnoringCase(value, ".svg") || EndsWithIgnoringCase(value, ".png")
                       ? std::string()
                       : "needs a file name ending in .svg or .png, not '" + value + "'";
          },
          ""));
  CLI::Option *list = app.add_flag("--list");
  app.add_flag("--xml", result.list_xml)->needs(list);
  const CLI::Option *version = app.add_flag("--version");
  try {
    // CLI11 wants the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError &failure) {
    return UsageError(failure);
  }
  if (!timeout.empty()) options.timeout = *ParsePositiveSeconds(timeout);
  if (!count.empty()) options.count = ParsePositiveCount(count);
  if (!duration.empty()) options.duration = ParsePositiveSeconds(duration);
  if (!period.empty()) options.period = *ParsePositiveSeconds(period);
  if (!every.empty()) options.every = ParsePositiveSeconds(every);
  if (!max_missed.empty()) options.max_missed = *ParseCountOrZero(max_missed);
  if (!max_jitter.empty()) options.max_jitter = *ParseSecondsOrZero(max_jitter);
  if (version->count() > 0)
    result.action = ParsedCommandLine::Action::kVersion;
  else if (list->count() > 0)
    result.action = ParsedCommandLine::Action::kList;
  if (options.query.name.empty() && options.query.type.empty() && options.query.source_id.empty())
    options.query.name = kDefaultStreamName;
  return result;
}

std::string UsageText() {
  return "Usage: maroquint-monitor [--name NAME] [--type TYPE] [--source-id ID]\n"
         "                         [--timeout S] [--csv] [--quiet] [--every S]\n"
         "                         [--count N] [--duration S] [--period S]\n"
         "                         [--max-missed N] [--max-jitter S] [--output FILE]\n"
         "                         [--xdf FILE] [--json FILE] [--plot FILE]\n"
         "       maroquint-monitor --list [--xml]\n"
         "       maroquint-monitor --help | --version\n";
}

std::string HelpText() {
  return "maroquint-monitor: the lab's health check for a synchronization marker stream.\n"
         "It watches a Lab Streaming Layer marker stream, prints every marker as it\n"
         "arrives, warns while markers are missing and, at the end, prints the\n"
         "statistics of the intervals, the pulses that went missing, the clock offset\n"
         "to the sender and one verdict line: 'healthy' or 'UNHEALTHY: <reasons>'.\n"
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
         "  --list            list every stream on the network, one line each (name,\n"
         "                    type, channels, format, rate, source id, host, uid, how\n"
         "                    long it has existed), and exit\n"
         "  --xml             with --list: each stream's full XML description\n"
         "When several streams match, the first is watched, the others are named, and\n"
         "the verdict is UNHEALTHY.\n"
         "\n"
         "Output:\n"
         "  --csv             print the markers as CSV with a header row; status\n"
         "                    messages and the summary then go to standard error\n"
         "  --quiet           no line per marker (alerts, status and summary stay)\n"
         "  --every S         a one-line rolling status every S seconds: markers,\n"
         "                    missed pulses, p99 jitter so far, last time correction\n"
         "  --period S        the nominal interval between markers (default 1); an\n"
         "                    interval over 1.5 periods counts as missed pulses, one\n"
         "                    under half a period as an early or extra marker (or,\n"
         "                    right after a gap, as the program's catch-up cycle)\n"
         "\n"
         "Health (the verdict is UNHEALTHY when any limit is passed):\n"
         "  --max-missed N    missed pulses allowed over the whole watch (default 0),\n"
         "                    counted also from the start to the first marker and\n"
         "                    from the last marker to the end; no marker at all is\n"
         "                    never healthy\n"
         "  --max-jitter S    limit of the 99th percentile of |interval - period|\n"
         "                    over the regular intervals (default 0.002)\n"
         "Early or extra markers, a restart of the stream (a new uid), a second stream\n"
         "that matches and a lost stream are always UNHEALTHY.\n"
         "\n"
         "Files (each write is checked; the monitor stops on a failed one):\n"
         "  --output FILE     the markers as CSV, with the wall-clock time of arrival\n"
         "                    (utc_time, ISO 8601), the kind of each interval and a\n"
         "                    first line naming the stream\n"
         "  --xdf FILE        record the stream as an XDF 1.0 file (stream header with\n"
         "                    the full XML, samples, clock offsets every 5 s, footer)\n"
         "  --json FILE       the summary and the verdict as JSON\n"
         "  --plot FILE       a picture (.svg or .png): interval - period over time with\n"
         "                    the jitter limit, every missed pulse, catch-up, restart\n"
         "                    and the outlet's loss, the histogram of the deviations,\n"
         "                    the time correction with its round-trip time\n"
         "\n"
         "Ending (Ctrl+C always ends the watch and prints the summary):\n"
         "  --count N         stop after N markers\n"
         "  --duration S      stop after S seconds of watching\n"
         "\n"
         "  -h, --help        print this help and exit\n"
         "  --version         print the version and exit\n"
         "\n"
         "Exit status (2, 3, 5 and 64 win over 4):\n"
         "  0   the watch ended (--count, --duration or Ctrl+C) and was healthy\n"
         "  1   an unexpected internal failure\n"
         "  2   no matching stream was found within --timeout (or Ctrl+C ended the search)\n"
         "  3   the stream was lost: its outlet went away and did not come back\n"
         "      within --timeout\n"
         "  4   the watch ended, but the verdict is UNHEALTHY\n"
         "  5   an output file could not be written (full disk, unwritable path)\n"
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
