#include "marker_csv.h"

#include <gtest/gtest.h>

namespace maroquint::align {
namespace {

TEST(MarkerCsv, TakesTheTimestampColumnWhereverItIs) {
  MarkerCsv csv;
  std::string error;
  const char text[] =
      "marker,timestamp,local_time,interval,missed,text,utc_time\r\n"
      "1,100.25,100.5,,,\"/a,b\",2026-12-08T10:00:00Z\r\n"
      "2,101.25,101.5,1,,\"quoted \"\"text\"\"\nover two lines\",x\n"
      "\n";
  ASSERT_TRUE(ParseMarkerCsv(text, csv, error)) << error;
  EXPECT_EQ(csv.times, (std::vector<double>{100.25, 101.25}));
  EXPECT_EQ(csv.stream, "");

  csv = {};
  EXPECT_FALSE(ParseMarkerCsv("marker,local_time\n1,2\n", csv, error));
  EXPECT_NE(error.find("timestamp"), std::string::npos);
  EXPECT_FALSE(ParseMarkerCsv("timestamp,text\n1.5,\"a\nb\"\nabc,x\n", csv, error));
  EXPECT_NE(error.find("line 4"), std::string::npos) << error;
  EXPECT_FALSE(ParseMarkerCsv("", csv, error));
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
  MarkerCsv csv;
  std::string error;
  ASSERT_TRUE(ParseMarkerCsv(text, csv, error)) << error;
  EXPECT_EQ(csv.times, (std::vector<double>{2393.003387, 2394.003401, 2396.003399}));
  EXPECT_EQ(csv.stream, "Maroquint");

  // A file the monitor ended before any marker, and one cut after its
  // first line.
  csv = {};
  const std::string head(text, std::string_view(text).find("1,2393"));
  ASSERT_TRUE(ParseMarkerCsv(head, csv, error)) << error;
  EXPECT_TRUE(csv.times.empty());
  const std::string first_line = head.substr(0, head.find('\n') + 1);
  EXPECT_FALSE(ParseMarkerCsv(first_line, csv, error));
  EXPECT_NE(error.find("empty"), std::string::npos) << error;
}

}  // namespace
}  // namespace maroquint::align
