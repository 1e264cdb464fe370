// The monitor's --xdf files read back by Debian's libxdf, a reader written
// independently of ours, and by our own reader for the raw values. libxdf
// adds the clock offsets to the time stamps as it loads, prints as it goes
// and takes a string stream's footer for one more event: the checks allow
// for that behaviour of the loader, not of the files.
#include "child_process.h"
#include "test_outlet.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <xdf.h>

#include <algorithm>
#include <memory>

#include "reader.h"

namespace maroquint::monitor {
namespace {

using harness::ChildProcess;
using harness::Finish;
using harness::Finished;
using harness::RunToEnd;
using ::testing::HasSubstr;

// The markers libxdf loaded, in order, without the footer it takes for one.
std::vector<std::pair<std::string, double>> Events(const Xdf &xdf) {
  std::vector<std::pair<std::string, double>> events;
  for (const auto &[event, stream] : xdf.eventMap)
    if (event.first.rfind("<?xml", 0) != 0) events.push_back(event);
  std::stable_sort(events.begin(), events.end(),
                   [](const auto &a, const auto &b) { return a.second < b.second; });
  return events;
}

xdf::File ReadOurselves(const std::string &bytes) {
  xdf::Reader reader;
  reader.Feed(bytes);
  return reader.Finish();
}

TEST(XdfFiles, TheReferenceFileLoadsWithTheLoaderOfTheseTests) {
  Xdf xdf;
  ASSERT_EQ(xdf.load_xdf(std::string(MAROQUINT_XDF_TEST_DATA) + "/minimal.xdf"), 0);
  ASSERT_EQ(xdf.streams.size(), 2u);
  EXPECT_EQ(xdf.streams[0].info.name, "SendDataC");
  EXPECT_EQ(xdf.streams[1].info.name, "SendDataString");
  EXPECT_EQ(xdf.streams[0].clock_values, (std::vector<double>{-0.1, -0.1}));
  const std::vector<std::pair<std::string, double>> events = Events(xdf);
  const std::vector<std::string> words = {"Hello", "World", "from", "LSL",
                                          "Hello", "World", "from", "LSL"};
  ASSERT_EQ(events.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(events[i].first, words[i]);
    EXPECT_NEAR(events[i].second, 5.2 + 0.1 * static_cast<double>(i), 1e-9);
  }
}

// Markers pushed at once, then a watch of over 5 s for a second clock offset.
TEST(XdfFiles, AMonitorRecordingLoadsWithExactMarkersStampsAndOffsets) {
  TestOutlet outlet("MonitorXdf", "Markers", "monitor-xdf");
  ASSERT_TRUE(outlet.Created());
  TempFile file(".xdf");
  const auto monitor =
      StartMonitor({"--name", "MonitorXdf", "--duration", "6", "--xdf", file.Path()});
  ASSERT_TRUE(outlet.WaitForMonitor());
  const std::vector<std::string> texts = {kText, "with, comma", "d\xc3\xa9j\xc3\xa0 vu", kText};
  const std::vector<double> stamps = {1000.125, 1001.1250000001, 1002.5, 1003.75};
  for (std::size_t i = 0; i < texts.size(); ++i) outlet.Push(stamps[i], texts[i]);
  const Finished run = Finish(*monitor);
  ASSERT_THAT(run.exit_status, ::testing::AnyOf(0, 4)) << run.errors;

  const xdf::File ours = ReadOurselves(file.Read());
  EXPECT_TRUE(ours.warnings.empty());
  ASSERT_EQ(ours.streams.size(), 1u);
  const xdf::Stream &stream = ours.streams[0];
  EXPECT_EQ(stream.time_stamps, stamps);
  EXPECT_EQ(stream.strings, texts);
  // The stream header holds the outlet's full description.
  EXPECT_THAT(stream.header_xml, HasSubstr("<name>MonitorXdf</name>"));
  EXPECT_THAT(stream.header_xml, HasSubstr("<source_id>monitor-xdf</source_id>"));
  EXPECT_THAT(stream.header_xml, HasSubstr("<desc"));
  ASSERT_GE(stream.clock_offsets.size(), 2u);
  ASSERT_TRUE(stream.footer.has_value());
  EXPECT_EQ(stream.footer->sample_count, stamps.size());
  EXPECT_EQ(stream.footer->first_timestamp, stamps.front());
  EXPECT_EQ(stream.footer->last_timestamp, stamps.back());

  Xdf xdf;
  ASSERT_EQ(xdf.load_xdf(file.Path()), 0);
  ASSERT_EQ(xdf.streams.size(), 1u);
  EXPECT_EQ(xdf.streams[0].info.name, "MonitorXdf");
  EXPECT_EQ(xdf.streams[0].info.channel_format, "string");
  ASSERT_EQ(xdf.streams[0].clock_values.size(), stream.clock_offsets.size());
  double low = stream.clock_offsets[0].value, high = low;
  for (std::size_t i = 0; i < stream.clock_offsets.size(); ++i) {
    EXPECT_EQ(xdf.streams[0].clock_times[i], stream.clock_offsets[i].collection_time);
    EXPECT_EQ(xdf.streams[0].clock_values[i], stream.clock_offsets[i].value);
    low = std::min(low, stream.clock_offsets[i].value);
    high = std::max(high, stream.clock_offsets[i].value);
  }
  const std::vector<std::pair<std::string, double>> events = Events(xdf);
  ASSERT_EQ(events.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(events[i].first, texts[i]);
    // The stamp moved by the recorded offsets, and by nothing else.
    EXPECT_GE(events[i].second, stamps[i] + low - 1e-9);
    EXPECT_LE(events[i].second, stamps[i] + high + 1e-9);
  }
}

TEST(XdfFiles, ALostStreamStillLeavesACompleteFile) {
  TempFile file(".xdf");
  std::unique_ptr<ChildProcess> monitor;
  {
    // The stream exists before the monitor looks for it, and --timeout is
    // both the search and the wait that declares the stream lost: generous
    // for the search on a busy machine, short enough for the loss.
    TestOutlet outlet("MonitorXdfLost", "Markers", "monitor-xdf-lost");
    ASSERT_TRUE(outlet.Created());
    monitor = StartMonitor(
        {"--name", "MonitorXdfLost", "--duration", "60", "--timeout", "5", "--xdf", file.Path()});
    ASSERT_TRUE(outlet.WaitForMonitor());
    outlet.Push(7.0);
    ASSERT_TRUE(monitor->ReadUntil("\n      1 ")) << monitor->Output();
  }
  const Finished run = Finish(*monitor);
  EXPECT_EQ(run.exit_status, 3);
  const xdf::File ours = ReadOurselves(file.Read());
  ASSERT_EQ(ours.streams.size(), 1u);
  EXPECT_EQ(ours.streams[0].time_stamps, std::vector<double>{7.0});
  ASSERT_TRUE(ours.streams[0].footer.has_value());
  EXPECT_EQ(ours.streams[0].footer->sample_count, 1u);

  const Finished full = RunToEnd(MAROQUINT_MONITOR, {"--xdf", "/dev/full"});
  EXPECT_EQ(full.exit_status, 5);
  EXPECT_THAT(full.errors, HasSubstr("maroquint-monitor: cannot write /dev/full: "));
}

}  // namespace
}  // namespace maroquint::monitor
