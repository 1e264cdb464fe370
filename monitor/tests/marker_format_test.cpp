#include "marker_format.h"

#include <gmock/gmock.h>

#include <gtest/gtest.h>

namespace maroquint::monitor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

MarkerRow Row() {
  MarkerRow row;
  row.index = 12;
  row.timestamp = 5123.4567891;
  row.local_time = 5123.4568;
  row.interval = 1.0000004;
  row.text = "/Experiment Control/Synchronization/Trigger/Biosemi";
  return row;
}

TEST(MarkerLine, ShowsStampMappedStampIntervalAndText) {
  EXPECT_EQ(FormatMarkerLine(Row()),
            "     12       5123.456789       5123.456800    1.000000  "
            "/Experiment Control/Synchronization/Trigger/Biosemi\n");
}

TEST(MarkerLine, ColumnsLineUpWithTheHeader) {
  const std::string header = MarkerLineHeader();
  const std::string line = FormatMarkerLine(Row());
  EXPECT_EQ(header.find("text"), line.find("/Experiment"));
  EXPECT_EQ(header.find("interval") + std::string("interval").size(), line.find("1.000000") + 8);
}

TEST(MarkerLine, UnknownFiguresAreDashes) {
  MarkerRow row = Row();
  row.local_time.reset();
  row.interval.reset();
  row.text = "x";
  EXPECT_EQ(FormatMarkerLine(row), "     12       5123.456789                 -           -  x\n");
}

TEST(MarkerLine, FlagsMissedPulses) {
  MarkerRow row = Row();
  row.interval = 3.0;
  row.missed = 2;
  EXPECT_NE(FormatMarkerLine(row).find("Biosemi  [2 pulses missed]\n"), std::string::npos);
  row.missed = 1;
  EXPECT_NE(FormatMarkerLine(row).find("[1 pulse missed]\n"), std::string::npos);
}

TEST(MarkerLine, ControlCharactersCannotBreakTheLine) {
  EXPECT_EQ(PrintableText("a\nb\tc\x7f"
                          "d\xc3\xa9"),
            "a\\x0Ab\\x09c\\x7Fd\xc3\xa9");
  MarkerRow row = Row();
  row.text = "two\nlines";
  const std::string line = FormatMarkerLine(row);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST(Csv, HeaderAndRowWithTheWallClockTimeLast) {
  EXPECT_EQ(CsvHeader(), "marker,timestamp,local_time,interval,missed,text,utc_time,kind\n");
  MarkerRow row = Row();
  row.utc_time = 1796724000.25;
  EXPECT_EQ(FormatCsvRow(row),
            "12,5123.456789,5123.456800,1.000000,0,/Experiment "
            "Control/Synchronization/Trigger/Biosemi,2026-12-08T10:00:00.250000Z,regular\n");
  row.kind = IntervalKind::kCatchUp;
  EXPECT_THAT(FormatCsvRow(row), ::testing::EndsWith(".250000Z,catch-up\n"));
  row.local_time.reset();
  row.interval.reset();
  EXPECT_EQ(FormatCsvRow(row),
            "12,5123.456789,,,0,/Experiment "
            "Control/Synchronization/Trigger/Biosemi,2026-12-08T10:00:00.250000Z,\n");
}

TEST(MarkerLine, EachKindOfIntervalIsNamed) {
  MarkerRow row = Row();
  EXPECT_THAT(FormatMarkerLine(row), ::testing::EndsWith("Biosemi\n"));
  row.kind = IntervalKind::kEarly;
  EXPECT_THAT(FormatMarkerLine(row), ::testing::EndsWith("  [early or extra marker]\n"));
  row.kind = IntervalKind::kCatchUp;
  EXPECT_THAT(FormatMarkerLine(row), ::testing::EndsWith("  [catch-up after the gap]\n"));
  row.kind = IntervalKind::kGap;
  row.missed = 3;
  EXPECT_THAT(FormatMarkerLine(row), ::testing::EndsWith("  [3 pulses missed]\n"));
  row.kind = IntervalKind::kRestart;
  EXPECT_THAT(FormatMarkerLine(row),
              ::testing::EndsWith("  [new outlet: the stream restarted]  [3 pulses missed]\n"));
}

TEST(Csv, QuotesFieldsThatNeedIt) {
  EXPECT_EQ(CsvField("plain text"), "plain text");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvField("cr\r"), "\"cr\r\"");
  EXPECT_EQ(CsvField(""), "");
}

TEST(Summary, ListsEveryFigure) {
  IntervalStatistics statistics(1.0);
  for (double t : {100.0, 101.0, 102.002, 105.0}) statistics.AddMarker(t);
  CorrectionTrack correction;
  correction.Add(0.000125, 0.000081);
  correction.Add(-0.000050, 0.000062);
  const std::string text =
      FormatSummary({statistics.Summarize(), 1.0, correction, 1, 1, 3, {"uid-a", "uid-b"}});
  for (const char *line : {
           "markers received        4\n",
           // The gap's interval is named and kept out of the figures.
           "intervals               3: 2 regular, 1 closing a gap (the figures below are of the "
           "regular ones)\n",
           "interval mean           1.001000 s\n",
           "interval minimum        1.000000 s\n",
           "interval maximum        1.002000 s\n",
           "interval std deviation  0.001414 s\n",
           "|interval - period| p99 0.002000 s (period 1.000000 s)\n",
           // One line for every missed pulse of the watch.
           "missed pulses           6: 2 in 1 gap, 1 before the first marker, 3 after the last "
           "marker\n",
           "restarts                1 (outlets: uid uid-a, then uid uid-b)\n",
           "before marker 4 (time stamp 105.000000): interval 2.998000 s, 2 pulses missed\n",
           "time correction         -0.000050 s (last of 2 estimates, from -0.000050 to "
           "+0.000125 s)\n",
           "round-trip time         0.000062 s (last of 2 estimates, from 0.000062 to 0.000081 "
           "s)\n",
           "reconnections           1\n",
       })
    EXPECT_THAT(text, HasSubstr(line));
  EXPECT_THAT(text, Not(HasSubstr("missed pulses in all")));
}

TEST(Summary, ASingleEstimateHasNoRange) {
  IntervalStatistics statistics(1.0);
  statistics.AddMarker(1.0);
  CorrectionTrack correction;
  correction.Add(-0.000004, 0.000093);
  const std::string text = FormatSummary({statistics.Summarize(), 1.0, correction, 0, 0, 0, {}});
  EXPECT_THAT(text, HasSubstr("time correction         -0.000004 s\n"));
  EXPECT_THAT(text, HasSubstr("round-trip time         0.000093 s\n"));
}

TEST(Summary, SaysWhatIsNotKnown) {
  IntervalStatistics statistics(1.0);
  statistics.AddMarker(1.0);
  const std::string text =
      FormatSummary({statistics.Summarize(), 1.0, CorrectionTrack{}, 0, 0, 0, {}});
  for (const char *line :
       {"markers received        1\n", "intervals               none (fewer than two markers)\n",
        "missed pulses           0\n", "time correction         not available\n",
        "round-trip time         not available\n"})
    EXPECT_THAT(text, HasSubstr(line));
  EXPECT_THAT(text, Not(HasSubstr("reconnections")));
}

}  // namespace
}  // namespace maroquint::monitor
