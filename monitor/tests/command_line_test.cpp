#include "command_line.h"

#include <gtest/gtest.h>

namespace maroquint::monitor {
namespace {

using Action = ParsedCommandLine::Action;

ParsedCommandLine Parse(std::vector<std::string> args) {
  return ParseCommandLine(args);
}

TEST(CommandLine, DefaultsWatchTheMaroquintStreamForever) {
  const ParsedCommandLine parsed = Parse({});
  ASSERT_EQ(parsed.action, Action::Run);
  EXPECT_EQ(parsed.options.query.name, "Maroquint");
  EXPECT_EQ(parsed.options.query.type, "");
  EXPECT_EQ(parsed.options.query.source_id, "");
  EXPECT_EQ(parsed.options.timeout, 10.0);
  EXPECT_EQ(parsed.options.period, 1.0);
  EXPECT_FALSE(parsed.options.csv);
  EXPECT_FALSE(parsed.options.count.has_value());
  EXPECT_FALSE(parsed.options.duration.has_value());
}

TEST(CommandLine, ReadsEveryOptionInBothSpellings) {
  const ParsedCommandLine parsed =
      Parse({"--name", "Other", "--type=Markers", "--source-id", "abc", "--timeout=2.5", "--csv",
             "--count", "7", "--duration=30", "--period", "0.5"});
  ASSERT_EQ(parsed.action, Action::Run) << parsed.error;
  EXPECT_EQ(parsed.options.query.name, "Other");
  EXPECT_EQ(parsed.options.query.type, "Markers");
  EXPECT_EQ(parsed.options.query.source_id, "abc");
  EXPECT_EQ(parsed.options.timeout, 2.5);
  EXPECT_TRUE(parsed.options.csv);
  EXPECT_EQ(parsed.options.count, 7);
  EXPECT_EQ(parsed.options.duration, 30.0);
  EXPECT_EQ(parsed.options.period, 0.5);
}

TEST(CommandLine, TypeOrSourceIdAloneReplaceTheDefaultName) {
  EXPECT_EQ(Parse({"--type", "Markers"}).options.query.name, "");
  EXPECT_EQ(Parse({"--source-id", "x"}).options.query.name, "");
  EXPECT_EQ(Parse({"--name", "N", "--type", "T"}).options.query.name, "N");
}

TEST(CommandLine, HelpAndVersion) {
  EXPECT_EQ(Parse({"--help"}).action, Action::Help);
  EXPECT_EQ(Parse({"-h"}).action, Action::Help);
  EXPECT_EQ(Parse({"--version"}).action, Action::Version);
  EXPECT_EQ(Parse({"--version", "--help"}).action, Action::Help);
  // A bad option is reported even next to --help.
  EXPECT_EQ(Parse({"--help", "--bogus"}).action, Action::UsageError);
}

TEST(CommandLine, RejectsBadArgumentsWithAMessageNamingThem) {
  struct Case {
    std::vector<std::string> args;
    std::string in_message;
  };
  const std::vector<Case> cases = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"-"}, "unexpected argument '-'"},
      {{"--name"}, "'--name' needs a value"},
      {{"--name="}, "'--name' needs a non-empty value"},
      {{"--csv=1"}, "'--csv' takes no value"},
      {{"--count", "0"}, "'--count' needs a whole number of at least 1, not '0'"},
      {{"--count", "-3"}, "not '-3'"},
      {{"--count", "2.5"}, "not '2.5'"},
      {{"--count", "99999999999999999999999"}, "'--count'"},
      {{"--timeout", "0"}, "'--timeout' needs a number of seconds above 0, not '0'"},
      {{"--timeout", "-1"}, "not '-1'"},
      {{"--timeout", "5s"}, "not '5s'"},
      {{"--timeout", ""}, "not ''"},
      {{"--timeout", " 5"}, "not ' 5'"},
      {{"--duration", "nan"}, "'--duration'"},
      {{"--duration", "inf"}, "'--duration'"},
      {{"--period", "1e999"}, "'--period'"},
  };
  for (const Case &c : cases) {
    const ParsedCommandLine parsed = Parse(c.args);
    EXPECT_EQ(parsed.action, Action::UsageError) << c.args.front();
    EXPECT_NE(parsed.error.find(c.in_message), std::string::npos) << parsed.error;
  }
}

TEST(CommandLine, HelpDocumentsEveryOptionAndExitStatus) {
  const std::string help = HelpText();
  for (const char *word : {"--name", "--type", "--source-id", "--timeout", "--csv", "--count",
                           "--duration", "--period", "--help", "--version", "Maroquint"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
  for (int status : {kExitNormal, kExitNoStream, kExitStreamLost, kExitUsage, kExitFailure})
    EXPECT_NE(help.find("  " + std::to_string(status) + " "), std::string::npos) << status;
  EXPECT_NE(help.find(UsageText()), std::string::npos);
}

TEST(CommandLine, DescribesTheQueryItWillSearch) {
  EXPECT_EQ(DescribeQuery({"Maroquint", "", ""}), "name \"Maroquint\"");
  EXPECT_EQ(DescribeQuery({"N", "T", "S"}), "name \"N\", type \"T\", source id \"S\"");
}

}  // namespace
}  // namespace maroquint::monitor
