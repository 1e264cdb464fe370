#include "command_line.h"

#include <gtest/gtest.h>

namespace maroquint::monitor {
namespace {

using Action = ParsedCommandLine::Action;

// A command line that must be read; an empty one when it is refused.
ParsedCommandLine Parse(const std::vector<std::string> &args) {
  const auto parsed = ParseCommandLine(args);
  EXPECT_TRUE(parsed) << parsed.Message();
  return parsed ? *parsed : ParsedCommandLine{};
}

// A command line that must be refused.
base::Error<CommandLineError> Refused(const std::vector<std::string> &args) {
  const auto parsed = ParseCommandLine(args);
  if (parsed) {
    ADD_FAILURE() << args.front() << " read";
    return {CommandLineError::kMalformed, ""};
  }
  return parsed.Err();
}

TEST(CommandLine, DefaultsWatchTheMaroquintStreamForever) {
  const ParsedCommandLine parsed = Parse({});
  ASSERT_EQ(parsed.action, Action::kRun);
  EXPECT_EQ(parsed.options.query.name, "Maroquint");
  EXPECT_EQ(parsed.options.query.type, "");
  EXPECT_EQ(parsed.options.query.source_id, "");
  EXPECT_EQ(parsed.options.timeout, 10.0);
  EXPECT_EQ(parsed.options.period, 1.0);
  EXPECT_FALSE(parsed.options.csv);
  EXPECT_FALSE(parsed.options.count.has_value());
  EXPECT_FALSE(parsed.options.duration.has_value());
  EXPECT_FALSE(parsed.options.quiet);
  EXPECT_FALSE(parsed.options.every.has_value());
  // Health limits: no missed pulse, 2 ms; zero is a limit too.
  EXPECT_EQ(parsed.options.max_missed, 0);
  EXPECT_EQ(parsed.options.max_jitter, 0.002);
  EXPECT_EQ(Parse({"--max-missed", "0", "--max-jitter", "0"}).action, Action::kRun);
}

TEST(CommandLine, ReadsEveryOptionInBothSpellings) {
  const ParsedCommandLine parsed =
      Parse({"--name",         "Other",        "--type=Markers", "--source-id", "abc",
             "--timeout=2.5",  "--csv",        "--count",        "7",           "--duration=30",
             "--period",       "0.5",          "--quiet",        "--every",     "60",
             "--max-missed=3", "--max-jitter", "0.01",           "--output",    "m.csv",
             "--xdf",          "m.xdf",        "--json=m.json",  "--plot",      "m.PNG"});
  ASSERT_EQ(parsed.action, Action::kRun);
  const Options &o = parsed.options;
  EXPECT_EQ(o.query.name, "Other");
  EXPECT_EQ(o.query.type, "Markers");
  EXPECT_EQ(o.query.source_id, "abc");
  EXPECT_EQ(o.timeout, 2.5);
  EXPECT_TRUE(o.csv);
  EXPECT_EQ(o.count, 7);
  EXPECT_EQ(o.duration, 30.0);
  EXPECT_EQ(o.period, 0.5);
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(o.every, 60.0);
  EXPECT_EQ(o.max_missed, 3);
  EXPECT_EQ(o.max_jitter, 0.01);
  EXPECT_EQ(o.output, "m.csv");
  EXPECT_EQ(o.xdf, "m.xdf");
  EXPECT_EQ(o.json, "m.json");
  EXPECT_EQ(o.plot, "m.PNG");
}

TEST(CommandLine, ListWithOrWithoutXml) {
  EXPECT_EQ(Parse({"--list"}).action, Action::kList);
  EXPECT_FALSE(Parse({"--list"}).list_xml);
  EXPECT_TRUE(Parse({"--list", "--xml"}).list_xml);
  EXPECT_EQ(Refused({"--xml"}).code, CommandLineError::kMissingCompanion);
}

TEST(CommandLine, TypeOrSourceIdAloneReplaceTheDefaultName) {
  EXPECT_EQ(Parse({"--type", "Markers"}).options.query.name, "");
  EXPECT_EQ(Parse({"--source-id", "x"}).options.query.name, "");
  EXPECT_EQ(Parse({"--name", "N", "--type", "T"}).options.query.name, "N");
}

TEST(CommandLine, HelpAndVersion) {
  EXPECT_EQ(Parse({"--help"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"-h"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"--version"}).action, Action::kVersion);
  EXPECT_EQ(Parse({"--version", "--help"}).action, Action::kHelp);
  // Asking for help wins over any mistake on the same line.
  EXPECT_EQ(Parse({"--bogus", "--help"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"--count", "x", "-h"}).action, Action::kHelp);
  EXPECT_EQ(Parse({"--name", "--help"}).action, Action::kHelp);
}

TEST(CommandLine, RejectsBadArgumentsWithAMessageNamingThem) {
  using Error = CommandLineError;
  struct Case {
    std::vector<std::string> args;
    Error code;
    std::string in_message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, Error::kUnknownArgument, "--bogus"},
      {{"-x"}, Error::kUnknownArgument, "-x"},
      {{"stray"}, Error::kUnknownArgument, "stray"},
      {{"--name"}, Error::kMissingValue, "--name"},
      {{"--name="}, Error::kMissingValue, "--name"},
      {{"--count", "0"}, Error::kBadValue, "--count: needs a whole number of at least 1, not '0'"},
      {{"--count", "-3"}, Error::kBadValue, "--count"},
      {{"--count", "2.5"}, Error::kBadValue, "not '2.5'"},
      {{"--count", "99999999999999999999999"}, Error::kBadValue, "--count"},
      {{"--timeout", "0"},
       Error::kBadValue,
       "--timeout: needs a number of seconds above 0, not '0'"},
      {{"--timeout", "-1"}, Error::kBadValue, "--timeout"},
      {{"--timeout", "5s"}, Error::kBadValue, "not '5s'"},
      {{"--timeout", " 5"}, Error::kBadValue, "not ' 5'"},
      {{"--duration", "nan"}, Error::kBadValue, "--duration"},
      {{"--duration", "inf"}, Error::kBadValue, "--duration"},
      {{"--period", "1e999"}, Error::kBadValue, "--period"},
      {{"--every", "0"}, Error::kBadValue, "--every"},
      {{"--max-missed", "-1"},
       Error::kBadValue,
       "--max-missed: needs a whole number of at least 0"},
      {{"--max-jitter", "-0.1"}, Error::kBadValue, "--max-jitter"},
      {{"--max-jitter", "nan"}, Error::kBadValue, "--max-jitter"},
      {{"--plot", "watch.pdf"},
       Error::kBadValue,
       "--plot: needs a file name ending in .svg or .png"},
      {{"--output", ""}, Error::kBadValue, "--output"},
  };
  for (const Case &c : cases) {
    const base::Error<CommandLineError> refused = Refused(c.args);
    EXPECT_EQ(refused.code, c.code) << c.args.front() << ": " << refused.message;
    // The message is what the user reads: it names the argument.
    EXPECT_NE(refused.message.find(c.in_message), std::string::npos) << refused.message;
  }
}

TEST(CommandLine, HelpDocumentsEveryOptionAndExitStatus) {
  const std::string help = HelpText();
  for (const char *word :
       {"--name",     "--type",       "--source-id",  "--timeout", "--csv",     "--count",
        "--duration", "--period",     "--help",       "--version", "Maroquint", "--quiet",
        "--every",    "--max-missed", "--max-jitter", "--output",  "--xdf",     "--json",
        "--plot",     "--list",       "--xml",        "UNHEALTHY"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  for (int status : {kExitNormal, kExitNoStream, kExitStreamLost, kExitUsage, kExitFailure,
                     kExitUnhealthy, kExitWriteFailed})
    EXPECT_NE(help.find("  " + std::to_string(status) + " "), std::string::npos) << status;
  EXPECT_NE(help.find(UsageText()), std::string::npos);
}

TEST(CommandLine, DescribesTheQueryItWillSearch) {
  EXPECT_EQ(DescribeQuery({"Maroquint", "", ""}), "name \"Maroquint\"");
  EXPECT_EQ(DescribeQuery({"N", "T", "S"}), "name \"N\", type \"T\", source id \"S\"");
}

}  // namespace
}  // namespace maroquint::monitor
