// The built program seen from an LSL consumer: the marker stream is there
// from the start line until the device fails, carries one marker per cycle,
// and a new instance reaches the consumers of the one that failed. The
// device's gate holds the first pulse until the consumer is connected.

#include <gtest/gtest.h>
#include <lsl_c.h>

#include "device_gate.h"
#include "program.h"

#include <string>
#include <vector>

namespace maroquint::pulse {

namespace {

using namespace maroquint::harness;

constexpr double kGenerous = kGenerousSeconds;

// The declarations of the streams with the given property value.
class Resolved {
 public:
  Resolved(const char *property, const char *value, double timeout) {
    const int32_t found = lsl_resolve_byprop(infos_, kCapacity, property, value, 1, timeout);
    count_ = found < 0 ? 0 : found;
  }
  ~Resolved() {
    for (int32_t i = 0; i < count_; ++i) lsl_destroy_streaminfo(infos_[i]);
  }
  Resolved(const Resolved &) = delete;
  Resolved &operator=(const Resolved &) = delete;

  int32_t Count() const { return count_; }
  lsl_streaminfo First() const { return infos_[0]; }

 private:
  static constexpr uint32_t kCapacity = 8;
  lsl_streaminfo infos_[kCapacity] = {};
  int32_t count_ = 0;
};

void ExpectTheMarkerStream(lsl_streaminfo info) {
  EXPECT_STREQ(lsl_get_name(info), "Maroquint");
  EXPECT_STREQ(lsl_get_type(info), "Markers");
  EXPECT_EQ(lsl_get_channel_count(info), 1);
  EXPECT_EQ(lsl_get_nominal_srate(info), 0.0);
  EXPECT_EQ(lsl_get_channel_format(info), cft_string);
  EXPECT_STREQ(lsl_get_source_id(info), kSourceId);
}

// An inlet on the stream found by its source id, opened.
lsl_inlet OpenInlet(bool recover) {
  Resolved stream("source_id", kSourceId, kGenerous);
  if (stream.Count() != 1) return nullptr;
  ExpectTheMarkerStream(stream.First());
  const lsl_inlet inlet = lsl_create_inlet(stream.First(), 360, 0, recover ? 1 : 0);
  int32_t error = 0;
  if (inlet != nullptr) lsl_open_stream(inlet, kGenerous, &error);
  return inlet;
}

struct Marker {
  std::string text;
  double stamp = 0.0;  // 0 when no marker came
  int32_t error = 0;
};

Marker Pull(lsl_inlet inlet, double timeout) {
  Marker marker;
  char *sample[1] = {nullptr};
  marker.stamp = lsl_pull_sample_str(inlet, sample, 1, timeout, &marker.error);
  if (marker.stamp != 0.0 && marker.error == 0) {
    marker.text = sample[0];
    lsl_destroy_string(sample[0]);
  }
  return marker;
}

// Rises at samples 1, 10001, 20001 and 30001, then the write of sample
// 40001 fails.
TEST(ProgramMarkerTest, EachCycleGivesOneMarkerWithTheMarkerTextUntilTheDeviceFails) {
  constexpr std::size_t kCycles = 4;
  DeviceGate gate;
  auto program = StartProgram("clock=realtime;" + gate.Setting() +
                              ";fault=DAQmxWriteAnalogF64@40000:-200279:Stop.");
  ASSERT_TRUE(program->ReadUntil(kStartLine)) << program->Output();
  // Without recovery the inlet reports the end of the stream, after the
  // last marker pushed to it.
  const lsl_inlet inlet = OpenInlet(false);
  ASSERT_NE(inlet, nullptr);
  ASSERT_TRUE(gate.Release());

  std::vector<Marker> markers;
  Marker pulled;
  while ((pulled = Pull(inlet, kGenerous)).stamp != 0.0) markers.push_back(pulled);
  EXPECT_EQ(pulled.error, lsl_lost_error);
  lsl_destroy_inlet(inlet);

  ASSERT_TRUE(program->ReadUntil(kEndLine)) << program->Output();
  program->CloseInput();
  EXPECT_EQ(program->Wait(), kProgramErrorStatus);
  EXPECT_EQ(program->Output(), std::string(kStartLine) + "DAQmx Error: Stop.\n" + kEndLine);
  ASSERT_EQ(markers.size(), kCycles);
  for (const Marker &marker : markers) EXPECT_EQ(marker.text, kMarkerText);
  for (std::size_t i = 1; i < markers.size(); ++i)
    EXPECT_GT(markers[i].stamp, markers[i - 1].stamp);
}

// The first instance's device fails while a consumer that follows the
// source id is connected: the stream leaves the network before the end line,
// and the consumer receives the markers of a second instance started while
// the first waits for Enter.
TEST(ProgramMarkerTest, StreamGoesWithTheDeviceErrorAndARestartReachesItsConsumers) {
  DeviceGate gate;
  auto first = StartProgram("clock=realtime;" + gate.Setting() +
                            ";fault=DAQmxWriteAnalogF64#1:-200279:Stop.");
  ASSERT_TRUE(first->ReadUntil(kStartLine)) << first->Output();
  const lsl_inlet inlet = OpenInlet(true);
  ASSERT_NE(inlet, nullptr);
  ASSERT_TRUE(gate.Release());

  ASSERT_TRUE(first->ReadUntil(kEndLine)) << first->Output();
  EXPECT_EQ(Resolved("source_id", kSourceId, 1.0).Count(), 0) << "the stream outlived the run";

  auto second = StartProgram("clock=realtime");
  ASSERT_TRUE(second->ReadUntil(kStartLine)) << second->Output();
  const Marker marker = Pull(inlet, kGenerous);
  EXPECT_NE(marker.stamp, 0.0);
  EXPECT_EQ(marker.text, kMarkerText);
  lsl_destroy_inlet(inlet);

  EXPECT_FALSE(first->Exited()) << "ended before Enter was pressed";
  first->WriteInput("\n");
  EXPECT_EQ(first->Wait(), kProgramErrorStatus);
  EXPECT_EQ(first->Output(), std::string(kStartLine) + "DAQmx Error: Stop.\n" + kEndLine);
}

}  // namespace

}  // namespace maroquint::pulse
