// Debian's libxdf, a reader written independently of ours, loads a file of
// our writer with the exact values. libxdf adds each stream's clock offset
// to its time stamps as it loads, so the values are chosen to make that
// sum exact. (libxdf prints as it loads, complains of the end of every
// file, the reference file's too, and takes the footer of a string stream
// for one more event: its own behaviour, not faults of the file.)
#include <gtest/gtest.h>
#include <xdf.h>

#include <cstdio>
#include <fstream>

#include "writer.h"

namespace maroquint::xdf {
namespace {

constexpr char kMarkers[] =
    "<info><name>Maroquint</name><type>Markers</type><channel_count>1</channel_count>"
    "<nominal_srate>0</nominal_srate><channel_format>string</channel_format>"
    "<source_id>maroquint-1</source_id></info>";
constexpr char kEeg[] =
    "<info><name>EEG</name><type>EEG</type><channel_count>2</channel_count>"
    "<nominal_srate>4</nominal_srate><channel_format>float32</channel_format></info>";
constexpr char kMarker[] = "/Experiment Control/Synchronization/Trigger/Biosemi";

TEST(Libxdf, LoadsOurFileWithTheExactValues) {
  std::string bytes = FileHeader("2026-12-08T10:00:00+0000");
  bytes += StreamHeader(1, kMarkers);
  bytes += StreamHeader(2, kEeg);
  bytes += StringSamplesChunk(1, {{1000.25, {kMarker}}, {1001.25, {kMarker}}});
  bytes += NumericSamplesChunk(2, {ChannelFormat::kFloat32,
                                   2,
                                   {1000.0, std::nullopt, std::nullopt},
                                   {0.5, -1.5, 2.0, 3.0, 4.25, -8.0}});
  bytes += ClockOffset(1, 1001.5, -0.125);
  bytes += ClockOffset(2, 1001.5, 0.0625);
  bytes += Boundary();
  bytes += StringSamplesChunk(1, {{1002.25, {kMarker}}});
  bytes += StreamFooter(1, {1000.25, 1002.25, 3, {{1001.5, -0.125}}});
  bytes += StreamFooter(2, {1000.0, 1000.5, 3, {{1001.5, 0.0625}}});

  const std::string path = ::testing::TempDir() + "maroquint_libxdf_check.xdf";
  std::ofstream(path, std::ios::binary) << bytes;
  Xdf xdf;
  ASSERT_EQ(xdf.load_xdf(path), 0);
  std::remove(path.c_str());

  ASSERT_EQ(xdf.streams.size(), 2u);
  const Xdf::Stream &markers = xdf.streams[0];
  EXPECT_EQ(markers.info.name, "Maroquint");
  EXPECT_EQ(markers.info.channel_format, "string");
  EXPECT_EQ(markers.clock_times, std::vector<double>{1001.5});
  EXPECT_EQ(markers.clock_values, std::vector<double>{-0.125});
  std::vector<std::pair<std::string, double>> events;
  for (const auto &[event, stream] : xdf.eventMap) {
    if (event.first.rfind("<?xml", 0) == 0) continue;  // the footer, see above
    EXPECT_EQ(stream, 0);
    events.push_back(event);
  }
  EXPECT_EQ(events, (std::vector<std::pair<std::string, double>>{
                        {kMarker, 1000.125}, {kMarker, 1001.125}, {kMarker, 1002.125}}));

  const Xdf::Stream &eeg = xdf.streams[1];
  EXPECT_EQ(eeg.info.channel_count, 2);
  EXPECT_EQ(eeg.info.nominal_srate, 4);
  EXPECT_EQ(eeg.time_stamps, (std::vector<double>{1000.0625, 1000.3125, 1000.5625}));
  EXPECT_EQ(eeg.time_series,
            (std::vector<std::vector<float>>{{0.5f, 2.0f, 4.25f}, {-1.5f, 3.0f, -8.0f}}));
  EXPECT_EQ(eeg.info.sample_count, 3);
  EXPECT_EQ(eeg.info.last_timestamp, 1000.5625);
  EXPECT_EQ(eeg.clock_values, std::vector<double>{0.0625});
}

}  // namespace
}  // namespace maroquint::xdf
