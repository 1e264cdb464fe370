#include "watch_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace maroquint::monitor {
namespace {

using ::testing::HasSubstr;

WatchReport Found() {
  WatchReport report;
  report.stream = StreamDescription{};
  report.stream->name = "Maroquint \"lab 2\"";
  report.intervals.markers = 10;
  report.intervals.intervals = 9;
  return report;
}

TEST(Verdict, EveryReasonInOneLine) {
  WatchReport report = Found();
  EXPECT_EQ(VerdictLine(UnhealthyReasons(report, {})), "healthy");
  report.intervals.missed_pulses = 1;
  report.intervals.gaps = {{5, 105.0, 2.0, 1}};
  report.missed_after_last = 2;
  report.intervals.regular = 6;
  report.intervals.p99_period_deviation = 0.0025;
  report.intervals.early = 2;
  report.lost = true;
  EXPECT_EQ(VerdictLine(UnhealthyReasons(report, {})),
            "UNHEALTHY: 3 missed pulses (limit 0): 1 in a gap before marker 5, 2 after the last "
            "marker; p99 of |interval - period| 0.002500 s over the limit 0.002000 s (6 regular "
            "intervals); 2 early or extra markers; the stream was lost");
  EXPECT_EQ(UnhealthyReasons(report, {3, 0.003}),
            (std::vector<std::string>{"2 early or extra markers", "the stream was lost"}));
  EXPECT_EQ(UnhealthyReasons(WatchReport{}, {}), std::vector<std::string>{"no stream found"});
}

TEST(Verdict, NamesARestartAndASecondStreamWithTheirUids) {
  WatchReport report = Found();
  report.stream->name = "Maroquint";
  report.stream->uid = "uid-1";
  report.stream->hostname = "lab-pc";
  StreamDescription second = *report.stream;
  second.uid = "uid-2";
  second.hostname = "other-pc";
  report.others = {second};
  StreamDescription restarted = *report.stream;
  restarted.uid = "uid-3";
  report.restarts = {{12.5, restarted}};
  EXPECT_EQ(UnhealthyReasons(report, {}),
            (std::vector<std::string>{
                "2 streams named \"Maroquint\": uid uid-1 on host \"lab-pc\" (watched), uid uid-2 "
                "on host \"other-pc\"",
                "1 restart of the stream (a new outlet: uid uid-1, then uid uid-3)"}));
  EXPECT_EQ(report.Uids(), (std::vector<std::string>{"uid-1", "uid-3"}));
  const std::string json = FormatJsonReport(report, {}, 0);
  EXPECT_THAT(json,
              HasSubstr("\"other_streams\": [{\"name\": \"Maroquint\", \"type\": \"\", "
                        "\"source_id\": \"\", \"hostname\": \"other-pc\", \"uid\": \"uid-2\"}]"));
  EXPECT_THAT(json, HasSubstr("\"restarts\": [{\"seconds_after_start\": 12.5, \"outlet\": "));
  EXPECT_THAT(json, HasSubstr("\"uid\": \"uid-3\"}}]"));
}

TEST(ListedStream, AgeOnThisHostAndTheCreationTimeOfAnother) {
  StreamDescription stream;
  stream.name = "Maroquint";
  stream.type = "Markers";
  stream.source_id = "sid";
  stream.hostname = "lab-pc";
  stream.uid = "uid-1";
  stream.created_at = 100.0;
  EXPECT_EQ(FormatListedStream(stream, 112.34, "lab-pc"),
            "\"Maroquint\"  type \"Markers\", 1 channel, string, irregular rate, source id "
            "\"sid\", host \"lab-pc\", uid uid-1, created 12.3 s ago");
  EXPECT_THAT(FormatListedStream(stream, 112.34, "monitor-pc"),
              ::testing::EndsWith(", uid uid-1, created at 100.0 s on its host's clock (another "
                                  "host: its age is not known here)"));
}

TEST(JsonReport, EscapesTextAndWritesNullForWhatIsUnknown) {
  WatchReport report = Found();
  report.intervals.intervals = 0;
  const std::string json = FormatJsonReport(report, {"a \\ reason\n"}, 4);
  EXPECT_THAT(json, HasSubstr("\"name\": \"Maroquint \\\"lab 2\\\"\""));
  EXPECT_THAT(json, HasSubstr("\"regular_intervals\": null,"));
  EXPECT_THAT(json, HasSubstr("\"time_correction\": null,"));
  EXPECT_THAT(json, HasSubstr("\"reasons\": [\"a \\\\ reason\\u000a\"],"));
  EXPECT_THAT(json, HasSubstr("\"healthy\": false,"));
  EXPECT_THAT(json, ::testing::EndsWith("\"exit_status\": 4\n}\n"));
  EXPECT_THAT(FormatJsonReport(WatchReport{}, {"no stream found"}, 2),
              HasSubstr("\"stream\": null,"));
}

}  // namespace
}  // namespace maroquint::monitor
