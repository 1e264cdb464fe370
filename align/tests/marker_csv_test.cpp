#include "marker_csv.h"

#include <gtest/gtest.h>

namespace maroquint::align {
namespace {

TEST(MarkerCsv, TakesTheTimestampColumnWhereverItIs) {
  const char text[] =
      "marker,timestamp,local_time,interval,missed,text,utc_time\r\n"
      "1,100.25,100.5,,,\"/a,b\",2026-12-08T10:00:00Z\r\n"
      "2,101.25,101.5,1,,\"quoted \"\"text\"\"\nover two lines\",x\n"
      "\n";
  const auto csv = ParseMarkerCsv(text);
  ASSERT_TRUE(csv.Ok()) << csv.Message();
  EXPECT_EQ(csv->times, (std::vector<double>{100.25, 101.25}));
  EXPECT_EQ(csv->stream, "");

  EXPECT_EQ(ParseMarkerCsv("marker,local_time\n1,2\n").Code(), CsvError::kNoTimestamp);
  const auto bad = ParseMarkerCsv("timestamp,text\n1.5,\"a\nb\"\nabc,x\n");
  ASSERT_FALSE(bad.Ok());
  EXPECT_EQ(bad.Code(), CsvError::kNotANumber);
  // Where it is, for the person who opens the file.
  EXPECT_EQ(bad.Message(), "line 4: timestamp 'abc' is not a number");
  EXPECT_EQ(ParseMarkerCsv("").Code(), CsvError::kEmpty);
}

// The monitor's --output file, byte for byte as it writes it: a line that
// names the stream, the header, a row per marker (the text quoted where it
// holds a comma, empty fields where there is no value).
TEST(MarkerCsv, ReadsTheMonitorsOutputFileAsItIsWritten) {
  const char text[] =
      "# maroquint-monitor: stream \"Maroquint\"  type \"Markers\", 1 channel, string, irregular "
      "rate, source id \"bf37e271-0c4e\", host \"vm\", uid e240beb0-55aa; watched from "
      "2026-12-08T10:24:11.946020Z\n"
      "marker,timestamp,local_time,interval,missed,text,utc_time\n"
      "1,2393.003387,2393.003371,,0,/Experiment Control/Synchronization/Trigger/Biosemi,"
      "2026-12-08T10:24:11.946117Z\n"
      "2,2394.003401,,1.000014,0,\"a, b\",2026-12-08T10:24:12.946130Z\n"
      "3,2396.003399,2396.003383,2.000000,1,/Experiment Control/Synchronization/Trigger/Biosemi,"
      "2026-12-08T10:24:14.946140Z\n";
  const auto csv = ParseMarkerCsv(text);
  ASSERT_TRUE(csv.Ok()) << csv.Message();
  EXPECT_EQ(csv->times, (std::vector<double>{2393.003387, 2394.003401, 2396.003399}));
  EXPECT_EQ(csv->stream, "Maroquint");

  // A file the monitor ended before any marker, and one cut after its
  // first line.
  const std::string head(text, std::string_view(text).find("1,2393"));
  const auto none = ParseMarkerCsv(head);
  ASSERT_TRUE(none.Ok()) << none.Message();
  EXPECT_TRUE(none->times.empty());
  const std::string first_line = head.substr(0, head.find('\n') + 1);
  EXPECT_EQ(ParseMarkerCsv(first_line).Code(), CsvError::kEmpty);
}

}  // namespace
}  // namespace maroquint::align
