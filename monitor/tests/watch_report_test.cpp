#include "watch_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace maroquint::monitor {
namespace {

using ::testing::HasSubstr;

TEST(MissedInSilence, APulseCountsHalfAPeriodAfterItWasDue) {
  EXPECT_EQ(MissedInSilence(0.0, 1.0), 0);
  EXPECT_EQ(MissedInSilence(1.5, 1.0), 0);
  EXPECT_EQ(MissedInSilence(1.5001, 1.0), 1);
  EXPECT_EQ(MissedInSilence(2.4999, 1.0), 1);
  EXPECT_EQ(MissedInSilence(2.5001, 1.0), 2);
  EXPECT_EQ(MissedInSilence(86400.0, 1.0), 86399);
  EXPECT_EQ(MissedInSilence(3.1, 0.5), 5);
}

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
  report.missed_after_last = 2;
  report.intervals.p99_period_deviation = 0.0025;
  report.intervals.early = 2;
  report.lost = true;
  EXPECT_EQ(VerdictLine(UnhealthyReasons(report, {})),
            "UNHEALTHY: 3 missed pulses (limit 0); p99 of |interval - period| 0.002500 s over the "
            "limit 0.002000 s; 2 early or extra markers; the stream was lost");
  EXPECT_EQ(UnhealthyReasons(report, {3, 0.003}),
            (std::vector<std::string>{"2 early or extra markers", "the stream was lost"}));
  EXPECT_EQ(UnhealthyReasons(WatchReport{}, {}), std::vector<std::string>{"no stream found"});
}

TEST(JsonReport, EscapesTextAndWritesNullForWhatIsUnknown) {
  WatchReport report = Found();
  report.intervals.intervals = 0;
  const std::string json = FormatJsonReport(report, {"a \\ reason\n"}, 4);
  EXPECT_THAT(json, HasSubstr("\"name\": \"Maroquint \\\"lab 2\\\"\""));
  EXPECT_THAT(json, HasSubstr("\"intervals\": null,"));
  EXPECT_THAT(json, HasSubstr("\"time_correction\": null,"));
  EXPECT_THAT(json, HasSubstr("\"reasons\": [\"a \\\\ reason\\u000a\"],"));
  EXPECT_THAT(json, HasSubstr("\"healthy\": false,"));
  EXPECT_THAT(json, ::testing::EndsWith("\"exit_status\": 4\n}\n"));
  EXPECT_THAT(FormatJsonReport(WatchReport{}, {"no stream found"}, 2),
              HasSubstr("\"stream\": null,"));
}

}  // namespace
}  // namespace maroquint::monitor
