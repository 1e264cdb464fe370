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
  const base::Json json = base::Json::parse(base::WriteJson(JsonReport(report, {}, 0)));
  EXPECT_EQ(json["other_streams"], base::Json::parse(R"([{"name": "Maroquint", "type": "",
      "source_id": "", "hostname": "other-pc", "uid": "uid-2"}])"));
  ASSERT_EQ(json["restarts"].size(), 1u);
  EXPECT_EQ(json["restarts"][0]["seconds_after_start"], 12.5);
  EXPECT_EQ(json["restarts"][0]["outlet"]["uid"], "uid-3");
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

TEST(JsonReport, KeysAsDocumentedAndNullForWhatIsUnknown) {
  WatchReport report = Found();
  report.intervals.intervals = 0;
  const std::string text = base::WriteJson(JsonReport(report, {"a \\ reason\n"}, 4));
  const base::Json json = base::Json::parse(text);
  std::vector<std::string> keys;
  for (const auto &item : json.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "stream", "other_streams", "restarts", "period", "watched_seconds", "markers",
                      "intervals", "regular_intervals", "missed_pulses", "early_or_extra_markers",
                      "catch_up_markers", "time_correction", "reconnections", "stream_lost",
                      "outlet_gone_at_end", "healthy", "reasons", "verdict", "exit_status"}));
  EXPECT_EQ(json["stream"]["name"], "Maroquint \"lab 2\"");
  EXPECT_TRUE(json["regular_intervals"].is_null());
  EXPECT_TRUE(json["time_correction"].is_null());
  EXPECT_EQ(json["reasons"], base::Json::array({"a \\ reason\n"}));
  EXPECT_EQ(json["healthy"], false);
  EXPECT_EQ(json["exit_status"], 4);
  EXPECT_EQ(json["missed_pulses"]["gaps"], base::Json::array());
  EXPECT_TRUE(JsonReport(WatchReport{}, {"no stream found"}, 2)["stream"].is_null());
}

TEST(JsonReport, FiguresOfTheRegularIntervalsAndTheTimeCorrection) {
  WatchReport report = Found();
  report.intervals.regular = 8;
  report.intervals.mean = 1.000001;
  report.intervals.gaps = {{5, 105.0, 3.0, 2}};
  report.intervals.missed_pulses = 2;
  report.corrections.Add(-0.00005, 0.0001);
  report.gone_at_end = true;
  report.gone_at = 12.9;
  const base::Json json = JsonReport(report, {}, 0);
  EXPECT_EQ(json["regular_intervals"]["mean"], 1.000001);
  EXPECT_EQ(json["missed_pulses"]["gaps"][0]["marker"], 5);
  EXPECT_EQ(json["missed_pulses"]["gaps"][0]["missed"], 2);
  EXPECT_EQ(json["missed_pulses"]["total"], 2);
  EXPECT_EQ(json["time_correction"]["estimates"], 1);
  EXPECT_EQ(json["time_correction"]["round_trip_last"], 0.0001);
  EXPECT_EQ(json["outlet_gone_seconds_after_start"], 12.9);
  EXPECT_EQ(json["verdict"], "healthy");
}

}  // namespace
}  // namespace maroquint::monitor
