// The built monitor against outlets of the LSL library on loopback. The test
// stamps its markers itself, so the intervals the monitor reports are exact.
#include "child_process.h"
#include "matches_regex.h"
#include "test_outlet.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <lsl_c.h>

#include "base/json.h"

#include <chrono>
#include <cmath>
#include <memory>

namespace maroquint::monitor {
namespace {

using harness::Finish;
using harness::Finished;
using harness::RunToEnd;

using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

TEST(MonitorCommandLine, HelpVersionAndBadOption) {
  const Finished help = RunToEnd(MAROQUINT_MONITOR, {"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_THAT(help.output, HasSubstr("Usage: maroquint-monitor"));
  EXPECT_THAT(help.output, HasSubstr("Exit status"));

  const Finished version = RunToEnd(MAROQUINT_MONITOR, {"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_THAT(version.output,
              MatchesRegex("maroquint-monitor [0-9.]+ \\(LSL library [0-9]+\\.[0-9]+, protocol "
                           "[0-9]+\\.[0-9]+\\)\n"));

  const Finished bad = RunToEnd(MAROQUINT_MONITOR, {"--count", "many"});
  EXPECT_EQ(bad.exit_status, 64);
  EXPECT_EQ(bad.output, "");
  EXPECT_THAT(bad.errors,
              StartsWith("maroquint-monitor: --count: needs a whole number of at least 1, not "
                         "'many'\nUsage: maroquint-monitor"));
  // Help wins over the mistake.
  EXPECT_EQ(RunToEnd(MAROQUINT_MONITOR, {"--count", "many", "--help"}).exit_status, 0);
}

TEST(MonitorOverLsl, StreamThatNeverAppearsEndsWithStatus2AfterTheTimeout) {
  const auto started = std::chrono::steady_clock::now();
  const Finished run = RunToEnd(MAROQUINT_MONITOR, {"--name", "NoSuchStream", "--timeout", "1.5"});
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_THAT(run.errors,
              StartsWith("maroquint-monitor: no stream with name \"NoSuchStream\" found within "
                         "1.5 s\n  Check that the program is running"));
  EXPECT_THAT(run.errors, HasSubstr("--list"));
  EXPECT_GE(took, 1.5);
}

TEST(MonitorOverLsl, ExactIntervalsAndMissedPulses) {
  TestOutlet outlet("MonitorExact", "Markers", "monitor-exact");
  ASSERT_TRUE(outlet.Created());
  const auto monitor = StartMonitor({"--name", "MonitorExact", "--count", "6"});
  ASSERT_TRUE(outlet.WaitForMonitor());
  const double base = lsl_local_clock();
  const std::vector<double> offsets = {0, 1, 2, 3, 6, 7};
  for (double offset : offsets) outlet.Push(base + offset);
  const Finished run = Finish(*monitor);

  EXPECT_EQ(run.exit_status, 4) << run.errors;
  // The gap is missed pulses, and no jitter.
  EXPECT_THAT(run.output, HasSubstr("\nUNHEALTHY: 2 missed pulses (limit 0): 2 in a gap before "
                                    "marker 5\n"));
  EXPECT_THAT(
      run.output,
      HasSubstr("Watching \"MonitorExact\" (type \"Markers\", source id \"monitor-exact\""));
  const std::vector<MarkerLine> lines = MarkerLines(run.output);
  ASSERT_EQ(lines.size(), offsets.size()) << run.output;
  const std::vector<std::string> intervals = {"-",        "1.000000", "1.000000",
                                              "1.000000", "3.000000", "1.000000"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].index, static_cast<long>(i + 1));
    EXPECT_NEAR(lines[i].timestamp, base + offsets[i], 1e-6);
    EXPECT_EQ(lines[i].interval, intervals[i]);
    // One machine, one clock: the correction is close to zero, however
    // long the exchange took on a busy machine.
    ASSERT_FALSE(std::isnan(lines[i].local)) << "no time correction";
    EXPECT_NEAR(lines[i].local, lines[i].timestamp, 0.5);
  }
  EXPECT_EQ(lines[4].rest, kText + "  [2 pulses missed]");
  EXPECT_EQ(lines[5].rest, kText);
  EXPECT_THAT(run.output, HasSubstr("  markers received        6\n"));
  EXPECT_THAT(run.output, HasSubstr("  interval mean           1.000000 s\n"));
  EXPECT_THAT(run.output, HasSubstr("  interval maximum        1.000000 s\n"));
  EXPECT_THAT(run.output, HasSubstr("  |interval - period| p99 0.000000 s (period 1.000000 s)\n"));
  EXPECT_THAT(run.output, HasSubstr("  missed pulses           2: 2 in 1 gap\n"));
  EXPECT_THAT(run.output, ContainsRegex("  time correction         [-+]0\\.[0-9]+ s"));
  // The exchange never takes no time at all.
  EXPECT_THAT(run.output, ContainsRegex("  round-trip time         0\\.[0-9]+ s"));
  EXPECT_THAT(run.output, Not(HasSubstr("round-trip time         0.000000 s")));
  EXPECT_EQ(run.errors, "");
}

TEST(MonitorOverLsl, CsvOnStandardOutputAndTheRestOnStandardError) {
  TestOutlet outlet("MonitorCsv", "Markers", "monitor-csv");
  ASSERT_TRUE(outlet.Created());
  const auto monitor =
      StartMonitor({"--name", "MonitorCsv", "--csv", "--count", "3", "--period", "0.5"});
  ASSERT_TRUE(outlet.WaitForMonitor());
  const double base = 5000.0;
  outlet.Push(base);
  outlet.Push(base + 0.5, "with, comma");
  outlet.Push(base + 2.0, "say \"hi\"");
  const Finished run = Finish(*monitor);

  EXPECT_EQ(run.exit_status, 4) << run.errors;
  const std::vector<std::string> rows = Lines(run.output);
  ASSERT_EQ(rows.size(), 4u) << run.output;
  EXPECT_EQ(rows[0], "marker,timestamp,local_time,interval,missed,text,utc_time,kind");
  const std::string utc =
      ",20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{6}Z";
  EXPECT_THAT(rows[1], MatchesRegex("1,5000\\.000000,[-0-9.]+,,0," + kText + utc + ","));
  EXPECT_THAT(rows[2], MatchesRegex("2,5000\\.500000,[-0-9.]+,0\\.500000,0,\"with, comma\"" + utc +
                                    ",regular"));
  EXPECT_THAT(rows[3], MatchesRegex("3,5002\\.000000,[-0-9.]+,1\\.500000,2,\"say \"\"hi\"\"\"" +
                                    utc + ",gap"));
  EXPECT_THAT(run.errors, HasSubstr("Watching \"MonitorCsv\""));
  EXPECT_THAT(run.errors, HasSubstr("  missed pulses           2: 2 in 1 gap\n"));
}

TEST(MonitorOverLsl, ChoosesTheStreamMatchingEveryGivenProperty) {
  TestOutlet markers("MonitorTwin", "Markers", "monitor-twin-a");
  TestOutlet other("MonitorTwin", "Other", "monitor-twin-b");
  ASSERT_TRUE(markers.Created() && other.Created());

  const auto by_type = StartMonitor({"--name", "MonitorTwin", "--type", "Other", "--count", "1"});
  ASSERT_TRUE(other.WaitForMonitor());
  other.Push(0.0, "from b");
  const Finished b = Finish(*by_type);
  EXPECT_EQ(b.exit_status, 0) << b.errors;
  EXPECT_THAT(b.output, HasSubstr("source id \"monitor-twin-b\""));
  EXPECT_THAT(b.output, HasSubstr("from b"));

  const auto by_source = StartMonitor({"--source-id", "monitor-twin-a", "--count", "1"});
  ASSERT_TRUE(markers.WaitForMonitor());
  markers.Push(0.0, "from a");
  const Finished a = Finish(*by_source);
  EXPECT_EQ(a.exit_status, 0) << a.errors;
  EXPECT_THAT(a.output, HasSubstr("Looking for a stream with source id \"monitor-twin-a\""));
  EXPECT_THAT(a.output, HasSubstr("from a"));
}

// A new outlet is a restart of the program, however soon it comes.
TEST(MonitorOverLsl, OutletRestartWithTheSameSourceIdIsFollowed) {
  const double base = lsl_local_clock();
  TempFile csv(".csv"), json(".json");
  const auto monitor = StartMonitor(
      {"--name", "MonitorRestart", "--count", "6", "--output", csv.Path(), "--json", json.Path()});
  {
    TestOutlet first("MonitorRestart", "Markers", "monitor-restart");
    ASSERT_TRUE(first.Created());
    ASSERT_TRUE(first.WaitForMonitor());
    for (double offset : {0.0, 1.0, 2.0}) first.Push(base + offset);
    ASSERT_TRUE(monitor->ReadUntil("\n      3 ", 20.0));
  }
  ASSERT_TRUE(monitor->ReadUntil("The stream's outlet is gone", 20.0));
  TestOutlet second("MonitorRestart", "Markers", "monitor-restart");
  ASSERT_TRUE(second.Created());
  ASSERT_TRUE(second.WaitForMonitor());
  for (double offset : {6.0, 7.0, 8.0}) second.Push(base + offset);
  const Finished run = Finish(*monitor);

  EXPECT_EQ(run.exit_status, 4) << run.errors;
  EXPECT_THAT(run.output,
              ContainsRegex("The stream's outlet is gone \\(no marker for [0-9.]+ s\\); waiting up "
                            "to 10\\.0 s for it to come back\\.\n"));
  EXPECT_THAT(run.output, HasSubstr("The stream restarted: a new outlet, uid "));
  const std::vector<MarkerLine> lines = MarkerLines(run.output);
  ASSERT_EQ(lines.size(), 6u) << run.output;
  EXPECT_EQ(lines[3].interval, "4.000000");
  EXPECT_EQ(lines[3].rest, kText + "  [new outlet: the stream restarted]  [3 pulses missed]");
  EXPECT_THAT(run.output, HasSubstr("  missed pulses           3: 3 in 1 gap\n"));
  EXPECT_THAT(run.output, ContainsRegex("  restarts                1 \\(outlets: uid [-0-9a-f]+, "
                                        "then uid [-0-9a-f]+\\)\n"));
  EXPECT_THAT(run.output, Not(HasSubstr("reconnections")));
  EXPECT_THAT(run.output, ContainsRegex("\nUNHEALTHY: 1 restart of the stream .*; 3 missed "
                                        "pulses \\(limit 0\\): 3 in a gap before marker 4\n"));
  // Both uids in the files: the CSV's first line and a # line where the
  // restart was seen, the JSON's stream and restarts.
  const std::string rows = csv.Read();
  EXPECT_THAT(rows, ContainsRegex("^# maroquint-monitor: stream \"MonitorRestart\".*, uid "
                                  "[-0-9a-f]+; watched from "));
  EXPECT_THAT(rows, ContainsRegex("\n# restart: the stream goes on from a new outlet, uid "
                                  "[-0-9a-f]+ on host \"[^\"]+\"; seen at [0-9T:.Z-]+\n4,"));
  EXPECT_THAT(rows, ContainsRegex("\n4,[^\n]*,restart\n"));
  const base::Json summary = base::Json::parse(json.Read());
  ASSERT_EQ(summary["restarts"].size(), 1u);
  EXPECT_GT(summary["restarts"][0]["seconds_after_start"].get<double>(), 0.0);
  EXPECT_EQ(summary["restarts"][0]["outlet"]["name"], "MonitorRestart");
  EXPECT_NE(summary["restarts"][0]["outlet"]["uid"], summary["stream"]["uid"]);
}

TEST(MonitorOverLsl, OutletThatDoesNotComeBackEndsWithStatus3) {
  const auto monitor = StartMonitor({"--name", "MonitorLost", "--timeout", "2"});
  {
    TestOutlet outlet("MonitorLost", "Markers", "monitor-lost");
    ASSERT_TRUE(outlet.Created());
    ASSERT_TRUE(outlet.WaitForMonitor());
    outlet.Push(100.0);
    outlet.Push(101.0);
    ASSERT_TRUE(monitor->ReadUntil("\n      2 ", 20.0));
  }
  const Finished run = Finish(*monitor);
  EXPECT_EQ(run.exit_status, 3);
  EXPECT_THAT(run.output, HasSubstr("The stream's outlet is gone"));
  EXPECT_THAT(
      run.errors,
      MatchesRegex("maroquint-monitor: stream lost: its outlet has been gone for [0-9.]+ s\n"));
  EXPECT_THAT(run.output, HasSubstr("  markers received        2\n"));
  EXPECT_THAT(run.output, HasSubstr("; the stream was lost\n"));
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
  const auto monitor = StartMonitor(args);
  ASSERT_TRUE(outlet.WaitForMonitor());
  for (const double stamp : {10.0, 11.0, 12.0}) outlet.Push(stamp);
  const Finished run = Finish(*monitor);
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_THAT(run.output, Not(HasSubstr("11.000000")));
  EXPECT_THAT(run.output, ::testing::EndsWith("\nhealthy\n"));

  const std::vector<std::string> rows = Lines(csv.Read());
  ASSERT_EQ(rows.size(), 5u) << csv.Read();
  EXPECT_THAT(rows[0],
              StartsWith("# maroquint-monitor: stream \"MonitorFiles\"  type \"Markers\", "
                         "1 channel, string, irregular rate, source id \"monitor-files\""));
  EXPECT_EQ(rows[1], "marker,timestamp,local_time,interval,missed,text,utc_time,kind");
  EXPECT_THAT(rows[3], MatchesRegex("2,11\\.000000,[-0-9.]+,1\\.000000,0," + kText +
                                    ",20[0-9-]+T[0-9:.]+Z,regular"));

  const base::Json summary = base::Json::parse(json.Read());
  EXPECT_EQ(summary["stream"]["name"], "MonitorFiles");
  EXPECT_EQ(summary["stream"]["type"], "Markers");
  EXPECT_EQ(summary["stream"]["source_id"], "monitor-files");
  EXPECT_EQ(summary["markers"], 3);
  EXPECT_EQ(summary["missed_pulses"]["total"], 0);
  EXPECT_EQ(summary["healthy"], true);
  EXPECT_EQ(summary["verdict"], "healthy");
  EXPECT_EQ(summary["exit_status"], 0);
#ifdef MAROQUINT_MONITOR_PLOT
  // What the picture holds is checked by the plot tests.
  EXPECT_THAT(plot.Read(), HasSubstr("<svg"));
#endif
}

TEST(MonitorFiles, AFullDiskOrAnUnwritablePathEndsWithStatus5) {
#ifndef _WIN32  // a full disk: Linux has one at hand
  TestOutlet outlet("MonitorFull", "Markers", "monitor-full");
  ASSERT_TRUE(outlet.Created());
  const auto monitor =
      StartMonitor({"--name", "MonitorFull", "--count", "3", "--output", "/dev/full"});
  // The first line, naming the stream, fails as soon as the stream is found.
  const Finished run = Finish(*monitor);
  EXPECT_EQ(run.exit_status, 5);
  EXPECT_THAT(run.errors, HasSubstr("maroquint-monitor: cannot write /dev/full: "));
  // The watch still ends with its summary.
  EXPECT_THAT(run.output, HasSubstr("Summary\n"));
#endif

  TempFile folder("-missing");
  const Finished unwritable =
      RunToEnd(MAROQUINT_MONITOR, {"--json", folder.Path() + "/summary.json"});
  EXPECT_EQ(unwritable.exit_status, 5);
  EXPECT_THAT(unwritable.errors,
              StartsWith("maroquint-monitor: cannot create " + folder.Path() + "/summary.json: "));
  EXPECT_EQ(unwritable.output, "");
}

TEST(MonitorStreams, ListSeveralMatchesAndAnotherLetterCase) {
  TestOutlet first("MonitorTwice", "Markers", "monitor-twice-1");
  TestOutlet second("MonitorTwice", "Markers", "monitor-twice-2");
  ASSERT_TRUE(first.Created() && second.Created());

  const Finished list = RunToEnd(MAROQUINT_MONITOR, {"--list"});
  EXPECT_EQ(list.exit_status, 0);
  EXPECT_THAT(list.output, HasSubstr("\"MonitorTwice\"  type \"Markers\", 1 channel, string, "
                                     "irregular rate, source id \"monitor-twice-1\", host \""));
  // Told apart by their uids, with how long each has existed.
  EXPECT_THAT(list.output,
              ContainsRegex("source id \"monitor-twice-2\", host \"[^\"]+\", uid [-0-9a-f]+, "
                            "created [0-9]+\\.[0-9] s ago\n"));
  const Finished xml = RunToEnd(MAROQUINT_MONITOR, {"--list", "--xml"});
  EXPECT_EQ(xml.exit_status, 0);
  EXPECT_THAT(xml.output, HasSubstr("<source_id>monitor-twice-2</source_id>"));
  EXPECT_THAT(xml.output, HasSubstr("<channel_format>string</channel_format>"));

  TempFile csv(".csv"), json(".json");
  const auto monitor = StartMonitor(
      {"--name", "MonitorTwice", "--count", "1", "--output", csv.Path(), "--json", json.Path()});
  ASSERT_TRUE(monitor->ReadUntil("Watching ")) << monitor->Output();
  first.Push(1.0);
  second.Push(1.0);
  const Finished run = Finish(*monitor);
  EXPECT_THAT(run.output, HasSubstr("Another stream matches name \"MonitorTwice\": "));
  EXPECT_EQ(run.exit_status, 4);
  EXPECT_THAT(run.output,
              ContainsRegex("\nUNHEALTHY: 2 streams named \"MonitorTwice\": uid "
                            "[-0-9a-f]+ on host \"[^\"]+\" \\(watched\\), uid [-0-9a-f]+ "
                            "on host \"[^\"]+\"\n"));
  EXPECT_THAT(csv.Read(), ContainsRegex("\n# another stream matches, not watched: "
                                        "\"MonitorTwice\".*, uid [-0-9a-f]+; found at "));
  const base::Json summary = base::Json::parse(json.Read());
  ASSERT_EQ(summary["other_streams"].size(), 1u);
  EXPECT_EQ(summary["other_streams"][0]["name"], "MonitorTwice");

  const Finished other_case =
      RunToEnd(MAROQUINT_MONITOR, {"--name", "monitortwice", "--timeout", "1"});
  EXPECT_EQ(other_case.exit_status, 2);
  EXPECT_THAT(other_case.errors, HasSubstr("\n  did you mean \"MonitorTwice\"  type \"Markers\""));
}

}  // namespace
}  // namespace maroquint::monitor
