// The built monitor against outlets of the LSL library on loopback. The test
// stamps its markers itself, so the intervals the monitor reports are exact.
#include "matches_regex.h"
#include "monitor_test_support.h"
#include "run_program.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <lsl_c.h>

#include <chrono>
#include <cmath>
#include <sstream>
#include <thread>

namespace maroquint::monitor::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// Every run is bounded even when a test goes wrong; a --duration of the test
// comes later and wins.
const std::vector<std::string> kSafetyNet = {"--duration", "60"};

BackgroundProgram StartMonitor(std::vector<std::string> args) {
  args.insert(args.begin(), kSafetyNet.begin(), kSafetyNet.end());
  return BackgroundProgram(MAROQUINT_MONITOR, args);
}

struct MarkerLine {
  long index = 0;
  double timestamp = 0.0;
  std::string local;
  std::string interval;
  std::string rest;
};

// The marker lines of plain output, in order.
std::vector<MarkerLine> MarkerLines(const std::string &out) {
  std::vector<MarkerLine> lines;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) {
    std::istringstream fields(line);
    MarkerLine marker;
    if (!(fields >> marker.index >> marker.timestamp >> marker.local >> marker.interval)) continue;
    std::getline(fields >> std::ws, marker.rest);
    lines.push_back(marker);
  }
  return lines;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

TEST(MonitorCommandLine, HelpVersionAndBadOption) {
  const ProgramResult help = RunProgram(MAROQUINT_MONITOR, {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_THAT(help.out, HasSubstr("Usage: maroquint-monitor"));
  EXPECT_THAT(help.out, HasSubstr("Exit status"));

  const ProgramResult version = RunProgram(MAROQUINT_MONITOR, {"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_THAT(version.out,
              MatchesRegex("maroquint-monitor [0-9.]+ \\(LSL library [0-9]+\\.[0-9]+, protocol "
                           "[0-9]+\\.[0-9]+\\)\n"));

  const ProgramResult bad = RunProgram(MAROQUINT_MONITOR, {"--count", "many"});
  EXPECT_EQ(bad.exit_status, 64);
  EXPECT_EQ(bad.out, "");
  EXPECT_THAT(bad.err,
              StartsWith("maroquint-monitor: --count: needs a whole number of at least 1, not "
                         "'many'\nUsage: maroquint-monitor"));
  // Help wins over the mistake.
  EXPECT_EQ(RunProgram(MAROQUINT_MONITOR, {"--count", "many", "--help"}).exit_status, 0);
}

TEST(MonitorOverLsl, StreamThatNeverAppearsEndsWithStatus2AfterTheTimeout) {
  const auto started = std::chrono::steady_clock::now();
  const ProgramResult run =
      RunProgram(MAROQUINT_MONITOR, {"--name", "NoSuchStream", "--timeout", "1.5"});
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.err,
            "maroquint-monitor: no stream with name \"NoSuchStream\" found within 1.5 s\n");
  EXPECT_GE(took, 1.5);
}

TEST(MonitorOverLsl, ExactIntervalsAndMissedPulses) {
  TestOutlet outlet("MonitorExact", "Markers", "monitor-exact");
  ASSERT_TRUE(outlet.Created());
  BackgroundProgram monitor = StartMonitor({"--name", "MonitorExact", "--count", "6"});
  ASSERT_TRUE(outlet.WaitForMonitor());
  const double base = lsl_local_clock();
  const std::vector<double> offsets = {0, 1, 2, 3, 6, 7};
  for (double offset : offsets) outlet.Push(base + offset);
  const ProgramResult run = monitor.Finish();

  EXPECT_EQ(run.exit_status, 4) << run.err;
  EXPECT_THAT(run.out, HasSubstr("\nUNHEALTHY: 2 missed pulses (limit 0); p99 of |interval - "
                                 "period| 2.000000 s over the limit 0.002000 s\n"));
  EXPECT_THAT(
      run.out,
      HasSubstr("Watching \"MonitorExact\" (type \"Markers\", source id \"monitor-exact\""));
  const std::vector<MarkerLine> lines = MarkerLines(run.out);
  ASSERT_EQ(lines.size(), offsets.size()) << run.out;
  const std::vector<std::string> intervals = {"-",        "1.000000", "1.000000",
                                              "1.000000", "3.000000", "1.000000"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].index, static_cast<long>(i + 1));
    EXPECT_NEAR(lines[i].timestamp, base + offsets[i], 1e-6);
    EXPECT_EQ(lines[i].interval, intervals[i]);
    // One machine, one clock: the correction is close to zero.
    ASSERT_NE(lines[i].local, "-") << "no time correction";
    EXPECT_NEAR(std::stod(lines[i].local), lines[i].timestamp, 0.01);
  }
  EXPECT_EQ(lines[4].rest, kText + "  [2 pulses missed]");
  EXPECT_EQ(lines[5].rest, kText);
  EXPECT_THAT(run.out, HasSubstr("  markers received        6\n"));
  EXPECT_THAT(run.out, HasSubstr("  interval mean           1.400000 s\n"));
  EXPECT_THAT(run.out, HasSubstr("  interval maximum        3.000000 s\n"));
  EXPECT_THAT(run.out, HasSubstr("  |interval - period| p99 2.000000 s (period 1.000000 s)\n"));
  EXPECT_THAT(run.out, HasSubstr("  missed pulses           2 in 1 gap\n"));
  EXPECT_THAT(run.out, MatchesRegex("(.|\n)*  time correction         [-+]0\\.0[0-9]+ s(.|\n)*"));
  // On loopback the exchange takes well under 10 ms, yet never no time at all.
  EXPECT_THAT(run.out, MatchesRegex("(.|\n)*  round-trip time         0\\.00[0-9]+ s(.|\n)*"));
  EXPECT_THAT(run.out, Not(HasSubstr("round-trip time         0.000000 s")));
  EXPECT_EQ(run.err, "");
}

TEST(MonitorOverLsl, CsvOnStandardOutputAndTheRestOnStandardError) {
  TestOutlet outlet("MonitorCsv", "Markers", "monitor-csv");
  ASSERT_TRUE(outlet.Created());
  BackgroundProgram monitor =
      StartMonitor({"--name", "MonitorCsv", "--csv", "--count", "3", "--period", "0.5"});
  ASSERT_TRUE(outlet.WaitForMonitor());
  const double base = 5000.0;
  outlet.Push(base);
  outlet.Push(base + 0.5, "with, comma");
  outlet.Push(base + 2.0, "say \"hi\"");
  const ProgramResult run = monitor.Finish();

  EXPECT_EQ(run.exit_status, 4) << run.err;
  const std::vector<std::string> rows = Lines(run.out);
  ASSERT_EQ(rows.size(), 4u) << run.out;
  EXPECT_EQ(rows[0], "marker,timestamp,local_time,interval,missed,text,utc_time");
  const std::string utc =
      ",20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{6}Z";
  EXPECT_THAT(rows[1], MatchesRegex("1,5000\\.000000,[-0-9.]+,,0," + kText + utc));
  EXPECT_THAT(rows[2], MatchesRegex("2,5000\\.500000,[-0-9.]+,0\\.500000,0,\"with, comma\"" + utc));
  EXPECT_THAT(rows[3],
              MatchesRegex("3,5002\\.000000,[-0-9.]+,1\\.500000,2,\"say \"\"hi\"\"\"" + utc));
  EXPECT_THAT(run.err, HasSubstr("Watching \"MonitorCsv\""));
  EXPECT_THAT(run.err, HasSubstr("  missed pulses           2 in 1 gap\n"));
}

TEST(MonitorOverLsl, ChoosesTheStreamMatchingEveryGivenProperty) {
  TestOutlet markers("MonitorTwin", "Markers", "monitor-twin-a");
  TestOutlet other("MonitorTwin", "Other", "monitor-twin-b");
  ASSERT_TRUE(markers.Created() && other.Created());

  BackgroundProgram by_type =
      StartMonitor({"--name", "MonitorTwin", "--type", "Other", "--count", "1"});
  ASSERT_TRUE(other.WaitForMonitor());
  other.Push(0.0, "from b");
  const ProgramResult b = by_type.Finish();
  EXPECT_EQ(b.exit_status, 0) << b.err;
  EXPECT_THAT(b.out, HasSubstr("source id \"monitor-twin-b\""));
  EXPECT_THAT(b.out, HasSubstr("from b"));

  BackgroundProgram by_source = StartMonitor({"--source-id", "monitor-twin-a", "--count", "1"});
  ASSERT_TRUE(markers.WaitForMonitor());
  markers.Push(0.0, "from a");
  const ProgramResult a = by_source.Finish();
  EXPECT_EQ(a.exit_status, 0) << a.err;
  EXPECT_THAT(a.out, HasSubstr("Looking for a stream with source id \"monitor-twin-a\""));
  EXPECT_THAT(a.out, HasSubstr("from a"));
}

TEST(MonitorOverLsl, OutletRestartWithTheSameSourceIdIsFollowed) {
  const double base = lsl_local_clock();
  BackgroundProgram monitor = StartMonitor({"--name", "MonitorRestart", "--count", "6"});
  {
    TestOutlet first("MonitorRestart", "Markers", "monitor-restart");
    ASSERT_TRUE(first.Created());
    ASSERT_TRUE(first.WaitForMonitor());
    for (double offset : {0.0, 1.0, 2.0}) first.Push(base + offset);
    ASSERT_TRUE(monitor.WaitForOutput("\n      3 ", 20.0));
  }
  ASSERT_TRUE(monitor.WaitForOutput("The stream's outlet is gone", 20.0));
  TestOutlet second("MonitorRestart", "Markers", "monitor-restart");
  ASSERT_TRUE(second.Created());
  ASSERT_TRUE(second.WaitForMonitor());
  for (double offset : {6.0, 7.0, 8.0}) second.Push(base + offset);
  const ProgramResult run = monitor.Finish();

  EXPECT_EQ(run.exit_status, 4) << run.err;
  EXPECT_THAT(
      run.out,
      MatchesRegex("(.|\n)*The stream's outlet is gone \\(no marker for [0-9.]+ s\\); waiting up "
                   "to 10\\.0 s for it to come back\\.\n(.|\n)*"));
  EXPECT_THAT(
      run.out,
      MatchesRegex("(.|\n)*The stream is back after [0-9.]+ s without its outlet\\.\n(.|\n)*"));
  const std::vector<MarkerLine> lines = MarkerLines(run.out);
  ASSERT_EQ(lines.size(), 6u) << run.out;
  EXPECT_EQ(lines[3].interval, "4.000000");
  EXPECT_EQ(lines[3].rest, kText + "  [3 pulses missed]");
  EXPECT_THAT(run.out, HasSubstr("  missed pulses           3 in 1 gap\n"));
  EXPECT_THAT(run.out, HasSubstr("  reconnections           1\n"));
}

TEST(MonitorOverLsl, OutletThatDoesNotComeBackEndsWithStatus3) {
  BackgroundProgram monitor = StartMonitor({"--name", "MonitorLost", "--timeout", "2"});
  {
    TestOutlet outlet("MonitorLost", "Markers", "monitor-lost");
    ASSERT_TRUE(outlet.Created());
    ASSERT_TRUE(outlet.WaitForMonitor());
    outlet.Push(100.0);
    outlet.Push(101.0);
    ASSERT_TRUE(monitor.WaitForOutput("\n      2 ", 20.0));
  }
  const ProgramResult run = monitor.Finish();
  EXPECT_EQ(run.exit_status, 3);
  EXPECT_THAT(run.out, HasSubstr("The stream's outlet is gone"));
  EXPECT_THAT(
      run.err,
      MatchesRegex("maroquint-monitor: stream lost: its outlet has been gone for [0-9.]+ s\n"));
  EXPECT_THAT(run.out, HasSubstr("  markers received        2\n"));
}

TEST(MonitorFiles, CsvFileAndJsonSummary) {
  TestOutlet outlet("MonitorFiles", "Markers", "monitor-files");
  ASSERT_TRUE(outlet.Created());
  TempFile csv(".csv"), json(".json"), plot(".svg");
  std::vector<std::string> args = {"--name",   "MonitorFiles", "--count", "3",        "--quiet",
                                   "--output", csv.Path(),     "--json",  json.Path()};
#ifdef MAROQUINT_MONITOR_PLOT
  args.insert(args.end(), {"--plot", plot.Path()});
#endif
  BackgroundProgram monitor = StartMonitor(args);
  ASSERT_TRUE(outlet.WaitForMonitor());
  for (const double stamp : {10.0, 11.0, 12.0}) outlet.Push(stamp);
  const ProgramResult run = monitor.Finish();
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_THAT(run.out, Not(HasSubstr("11.000000")));
  EXPECT_THAT(run.out, ::testing::EndsWith("\nhealthy\n"));

  const std::vector<std::string> rows = Lines(csv.Read());
  ASSERT_EQ(rows.size(), 5u) << csv.Read();
  EXPECT_THAT(rows[0],
              StartsWith("# maroquint-monitor: stream \"MonitorFiles\"  type \"Markers\", "
                         "1 channel, string, irregular rate, source id \"monitor-files\""));
  EXPECT_EQ(rows[1], "marker,timestamp,local_time,interval,missed,text,utc_time");
  EXPECT_THAT(rows[3], MatchesRegex("2,11\\.000000,[-0-9.]+,1\\.000000,0," + kText +
                                    ",20[0-9-]+T[0-9:.]+Z"));

  const std::string summary = json.Read();
  for (const char *field :
       {"\"stream\": {\"name\": \"MonitorFiles\", \"type\": \"Markers\", \"source_id\": "
        "\"monitor-files\"",
        "\"markers\": 3,", "\"missed_pulses\": {\"total\": 0,", "\"healthy\": true,",
        "\"verdict\": \"healthy\",", "\"exit_status\": 0\n}"})
    EXPECT_THAT(summary, HasSubstr(field));
#ifdef MAROQUINT_MONITOR_PLOT
  // What the picture holds is checked by the plot tests.
  EXPECT_THAT(plot.Read(), HasSubstr("<svg"));
#endif
}

TEST(MonitorFiles, AFullDiskOrAnUnwritablePathEndsWithStatus5) {
#ifndef _WIN32  // a full disk: Linux has one at hand
  TestOutlet outlet("MonitorFull", "Markers", "monitor-full");
  ASSERT_TRUE(outlet.Created());
  BackgroundProgram monitor =
      StartMonitor({"--name", "MonitorFull", "--count", "3", "--output", "/dev/full"});
  // The first line, naming the stream, fails as soon as the stream is found.
  const ProgramResult run = monitor.Finish();
  EXPECT_EQ(run.exit_status, 5);
  EXPECT_THAT(run.err, HasSubstr("maroquint-monitor: cannot write /dev/full: "));
  // The watch still ends with its summary.
  EXPECT_THAT(run.out, HasSubstr("Summary\n"));
#endif

  TempFile folder("-missing");
  const ProgramResult unwritable =
      RunProgram(MAROQUINT_MONITOR, {"--json", folder.Path() + "/summary.json"});
  EXPECT_EQ(unwritable.exit_status, 5);
  EXPECT_THAT(unwritable.err,
              StartsWith("maroquint-monitor: cannot create " + folder.Path() + "/summary.json: "));
  EXPECT_EQ(unwritable.out, "");
}

TEST(MonitorStreams, ListSeveralMatchesAndAnotherLetterCase) {
  TestOutlet first("MonitorTwice", "Markers", "monitor-twice-1");
  TestOutlet second("MonitorTwice", "Markers", "monitor-twice-2");
  ASSERT_TRUE(first.Created() && second.Created());

  const ProgramResult list = RunProgram(MAROQUINT_MONITOR, {"--list"});
  EXPECT_EQ(list.exit_status, 0);
  EXPECT_THAT(list.out, HasSubstr("\"MonitorTwice\"  type \"Markers\", 1 channel, string, "
                                  "irregular rate, source id \"monitor-twice-1\", host \""));
  EXPECT_THAT(list.out, HasSubstr("source id \"monitor-twice-2\""));
  const ProgramResult xml = RunProgram(MAROQUINT_MONITOR, {"--list", "--xml"});
  EXPECT_EQ(xml.exit_status, 0);
  EXPECT_THAT(xml.out, HasSubstr("<source_id>monitor-twice-2</source_id>"));
  EXPECT_THAT(xml.out, HasSubstr("<channel_format>string</channel_format>"));

  BackgroundProgram monitor = StartMonitor({"--name", "MonitorTwice", "--count", "1"});
  ASSERT_TRUE(monitor.WaitForOutput("Watching ", 20.0));
  first.Push(1.0);
  second.Push(1.0);
  const ProgramResult run = monitor.Finish();
  EXPECT_THAT(run.out, HasSubstr("2 streams match name \"MonitorTwice\":\n"));
  EXPECT_THAT(run.out, HasSubstr("The first one is watched.\n"));

  const ProgramResult other_case =
      RunProgram(MAROQUINT_MONITOR, {"--name", "monitortwice", "--timeout", "1"});
  EXPECT_EQ(other_case.exit_status, 2);
  EXPECT_THAT(other_case.err, HasSubstr("\n  did you mean \"MonitorTwice\"  type \"Markers\""));
}

}  // namespace
}  // namespace maroquint::monitor::testing
