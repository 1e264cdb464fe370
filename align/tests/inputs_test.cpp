// What the reading functions take out of files written here, field by field.
#include "inputs.h"

#include <gtest/gtest.h>

#include "test_files.h"
#include "writer.h"
#include "xdf_streams.h"

namespace maroquint::align {
namespace {

constexpr double kRate = 500;
constexpr double kEegStart = 200.0;      // sender's clock
constexpr double kEegOffset = 100.0;     // the EEG's clock + this = the recorder's
constexpr double kMarkerOffset = -50.0;  // the markers' clock + this = the recorder's

// An EEG stream of three float32 channels, a time stamp per sample as
// LabRecorder writes them, its trigger in Status and a second trigger-like
// channel; a marker stream on another clock; clock offsets every 5 s.
struct Recording {
  std::vector<std::int64_t> onsets = {700, 1900, 3100, 4300};
  std::vector<std::int64_t> widths = {2, 2, 3, -1};
  // The experiment's triggers on bit 1, 5 samples long.
  std::vector<std::int64_t> checks = {300, 1300, 2300, 3300};
  std::int64_t samples = 4302;
  std::string bytes;

  Recording() {
    bytes = xdf::FileHeader() +
            test::StreamHeaderOf(5, "Amp", "EEG", "float32", 500, {"Fp1", "Status", "TRIG2"}) +
            test::MarkerStreamHeader(6, "Maroquint");
    xdf::NumericSamples chunk{xdf::ChannelFormat::kFloat32, 3, {}, {}};
    for (std::int64_t n = 0; n < samples; ++n) {
      double status = 0xFF00;
      for (std::size_t k = 0; k < onsets.size(); ++k) {
        const std::int64_t end = widths[k] < 0 ? samples : onsets[k] + widths[k];
        if (n >= onsets[k] && n < end) status += 1;
      }
      for (const std::int64_t check : checks) {
        if (n >= check && n < check + 5) status += 2;
      }
      chunk.time_stamps.push_back(Stamp(n));
      chunk.values.insert(chunk.values.end(), {0.5, status, 1.0});
      if (chunk.time_stamps.size() == 250 || n + 1 == samples) {
        bytes += xdf::NumericSamplesChunk(5, chunk);
        chunk.time_stamps.clear();
        chunk.values.clear();
      }
      if (n % 2500 == 0) {
        bytes += xdf::ClockOffset(5, Stamp(n) + kEegOffset, kEegOffset);
        bytes += xdf::ClockOffset(6, Stamp(n) + kEegOffset, kMarkerOffset);
      }
    }
    for (std::int64_t onset : onsets) {
      bytes += xdf::StringSamplesChunk(6, {{MarkerStamp(onset), {"pulse"}}});
    }
  }
  static double Stamp(std::int64_t n) { return kEegStart + n / kRate; }
  // On the recorder's clock the marker comes 0.1 ms after the onset.
  static double MarkerStamp(std::int64_t n) { return Stamp(n) + kEegOffset - kMarkerOffset + 1e-4; }
};

using Inputs = test::TempFolder;

// The recording with the experiment's markers on a clock of their own: a
// string stream with a tab and a new line in its texts, a numeric one of two
// channels, and a stream of regular rate that is no event stream.
constexpr double kEventOffset = -20.0;

std::string WithEvents(const Recording &recording) {
  std::string bytes = recording.bytes;
  bytes += test::MarkerStreamHeader(7, "Experiment") +
           test::StreamHeaderOf(8, "Responses", "Markers", "int32", 0, {}, 2) +
           test::StreamHeaderOf(9, "Gaze", "Gaze", "float32", 60, {});
  for (const double at : {0.0, 5.0, 10.0}) {
    bytes += xdf::ClockOffset(7, kEegStart + at + kEegOffset, kEventOffset);
  }
  const auto stamp = [](std::int64_t n) { return Recording::Stamp(n) + kEegOffset - kEventOffset; };
  bytes += xdf::StringSamplesChunk(7, {{stamp(1000), {"go\\left"}}, {stamp(2000), {"a\tb\nc"}}});
  bytes += xdf::NumericSamplesChunk(
      8, {xdf::ChannelFormat::kInt32, 2, {Recording::Stamp(1500) + kEegOffset}, {3, -4}});
  bytes += xdf::NumericSamplesChunk(9, {xdf::ChannelFormat::kFloat32, 1, {kEegStart}, {1}});
  return bytes;
}

XdfRequest Both() {
  XdfRequest request;
  request.trigger = true;
  request.channel = "status";
  request.markers = true;
  request.marker_stream = "Maroquint";
  return request;
}

TEST_F(Inputs, OnePassFillsBothSides) {
  const Recording recording;
  const std::string path = Write("both.xdf", recording.bytes);
  const auto read = ReadXdfInputs(path, Both());
  ASSERT_TRUE(read.Ok()) << read.Message();
  const EegTrigger &trigger = read->trigger;
  const MarkerTimes &markers = read->markers;

  EXPECT_EQ(trigger.onsets, recording.onsets);
  EXPECT_EQ(trigger.high_samples, recording.widths);
  EXPECT_EQ(trigger.samples, recording.samples);
  EXPECT_EQ(trigger.rate, kRate);
  EXPECT_NE(trigger.description.find("stream Amp, channel status, bit 0"), std::string::npos)
      << trigger.description;
  EXPECT_EQ(trigger.trigger_like_channels, std::vector<std::string>{"TRIG2"});
  EXPECT_TRUE(trigger.warnings.empty());
  ASSERT_EQ(trigger.onset_stamps.size(), recording.onsets.size());
  for (std::size_t k = 0; k < recording.onsets.size(); ++k) {
    EXPECT_NEAR(trigger.onset_stamps[k], Recording::Stamp(recording.onsets[k]) + kEegOffset, 1e-6);
  }
  EXPECT_TRUE(trigger.has_span);
  EXPECT_NEAR(trigger.first_time, kEegStart + kEegOffset, 1e-6);
  EXPECT_NEAR(trigger.last_time, Recording::Stamp(recording.samples - 1) + kEegOffset, 1e-6);

  ASSERT_EQ(markers.times.size(), recording.onsets.size());
  for (std::size_t k = 0; k < recording.onsets.size(); ++k) {
    EXPECT_NEAR(markers.times[k], trigger.onset_stamps[k] + 1e-4, 1e-6);
  }
  EXPECT_EQ(markers.description, path + ", stream Maroquint");
  // The first clock offset comes before the first marker.
  EXPECT_NEAR(markers.recorded_from, kEegStart + kEegOffset, 1e-6);
  EXPECT_NEAR(markers.recorded_to, markers.times.back(), 1e-6);
  EXPECT_TRUE(markers.warnings.empty());
}

TEST_F(Inputs, WarningsGoToTheSideThatReadTheFile) {
  const Recording recording;
  const std::string damaged = recording.bytes + "\x07" + xdf::Boundary() +
                              xdf::StringSamplesChunk(9, {{1.0, {"?"}}}) +
                              xdf::StringSamplesChunk(9, {{2.0, {"?"}}});
  const std::string path = Write("damaged.xdf", damaged);
  const auto read = ReadXdfInputs(path, Both());
  ASSERT_TRUE(read.Ok()) << read.Message();
  const EegTrigger &trigger = read->trigger;
  const MarkerTimes &markers = read->markers;
  ASSERT_EQ(trigger.warnings.size(), 2u);
  EXPECT_EQ(trigger.warnings[0].count, 1u);
  EXPECT_EQ(trigger.warnings[0].first, "at byte " + std::to_string(recording.bytes.size()));
  EXPECT_EQ(trigger.warnings[1].count, 2u);
  EXPECT_EQ(FormatWarning(trigger.warnings[1]),
            "chunks of a stream without its header, skipped (2 times, first at byte " +
                std::to_string(recording.bytes.size() + 1 + xdf::Boundary().size()) +
                ", stream 9)");
  EXPECT_TRUE(markers.warnings.empty());

  const auto alone = ReadMarkers(path, "Maroquint");
  ASSERT_TRUE(alone.Ok()) << alone.Message();
  EXPECT_EQ(alone->times, markers.times);
  EXPECT_EQ(alone->warnings.size(), 2u);
}

TEST_F(Inputs, SaysWhatIsMissing) {
  const Recording recording;
  const std::string path = Write("both.xdf", recording.bytes);
  XdfRequest request = Both();
  request.channel = "Trigger";
  auto read = ReadXdfInputs(path, request);
  ASSERT_FALSE(read.Ok());
  EXPECT_EQ(read.Code(), InputError::kNoChannel);
  // What there is, for the person who chose the channel.
  EXPECT_NE(
      read.Message().find("no numeric stream has a channel 'Trigger' (streams: 'Amp', 'Maroquint'; "
                          "channels that look like a trigger: 'Amp: Status', 'Amp: TRIG2')"),
      std::string::npos)
      << read.Message();
  request.eeg_stream = "Amp";
  read = ReadXdfInputs(path, request);
  ASSERT_FALSE(read.Ok());
  EXPECT_EQ(read.Code(), InputError::kNoChannel);
  EXPECT_NE(read.Message().find("stream 'Amp' has no channel 'Trigger'"), std::string::npos)
      << read.Message();
  request.eeg_stream = "Eeg";
  EXPECT_EQ(ReadXdfInputs(path, request).Code(), InputError::kNoStream);
  request = Both();
  request.marker_stream = "Other";
  read = ReadXdfInputs(path, request);
  ASSERT_FALSE(read.Ok());
  EXPECT_EQ(read.Code(), InputError::kNoStream);
  EXPECT_NE(read.Message().find("no stream 'Other' (streams: 'Amp', 'Maroquint')"),
            std::string::npos)
      << read.Message();
  EXPECT_EQ(ReadXdfInputs(Write("text.xdf", "hello"), Both()).Code(), InputError::kNotXdf);
  EXPECT_EQ(ReadXdfInputs(Path("none.xdf"), Both()).Code(), InputError::kCannotRead);
}

TEST_F(Inputs, TheEventStreamsAndCheckedBitsComeInTheSamePass) {
  const Recording recording;
  const std::string path = Write("events.xdf", WithEvents(recording));
  XdfRequest request = Both();
  request.events = true;
  request.check_mask = 0xFE;
  auto read = ReadXdfInputs(path, request);
  ASSERT_TRUE(read.Ok()) << read.Message();
  EXPECT_EQ(read->trigger.onsets, recording.onsets);
  EXPECT_EQ(read->trigger.check_onsets, recording.checks);
  std::vector<EventStream> events = read->events;
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "Experiment");
  ASSERT_EQ(events[0].times.size(), 2u);
  EXPECT_NEAR(events[0].times[0], Recording::Stamp(1000) + kEegOffset, 1e-6);
  EXPECT_NEAR(events[0].times[1], Recording::Stamp(2000) + kEegOffset, 1e-6);
  EXPECT_EQ(events[0].values, (std::vector<std::string>{"go\\left", "a\tb\nc"}));
  EXPECT_EQ(events[1].name, "Responses");
  EXPECT_EQ(events[1].values, std::vector<std::string>{"3,-4"});
  EXPECT_NEAR(events[1].times[0], Recording::Stamp(1500) + kEegOffset, 1e-6);

  request.event_streams = {"Responses"};
  read = ReadXdfInputs(path, request);
  ASSERT_TRUE(read.Ok()) << read.Message();
  ASSERT_EQ(read->events.size(), 1u);
  EXPECT_EQ(read->events[0].name, "Responses");
  request.event_streams = {"Stimuli"};
  read = ReadXdfInputs(path, request);
  ASSERT_FALSE(read.Ok());
  EXPECT_EQ(read.Code(), InputError::kNoStream);
  EXPECT_NE(read.Message().find("no event stream 'Stimuli'"), std::string::npos) << read.Message();
}

TEST_F(Inputs, TheMonitorsCsvSpansItsMarkers) {
  const std::string path =
      Write("m.csv",
            "# maroquint-monitor: stream \"Maroquint\"  type \"Markers\", 1 channel\n"
            "marker,timestamp,local_time,interval,missed,text,utc_time\n"
            "1,12.5,,,0,x,2026-12-08T10:24:12.806217Z\n2,11.5,,,0,x,2026-12-08T10:24:13.806217Z\n");
  const auto read = ReadMarkers(path, "Maroquint");
  ASSERT_TRUE(read.Ok()) << read.Message();
  const MarkerTimes &markers = *read;
  EXPECT_EQ(markers.times, (std::vector<double>{11.5, 12.5}));
  EXPECT_EQ(markers.recorded_from, 11.5);
  EXPECT_EQ(markers.recorded_to, 12.5);
  EXPECT_EQ(markers.description, path + ", stream Maroquint");
}

}  // namespace
}  // namespace maroquint::align
