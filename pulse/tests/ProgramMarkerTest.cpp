// The built program seen from an LSL consumer: the marker stream is there as
// soon as the start line is printed, stays while the program waits for
// Enter, and carries one marker per cycle.

#include <gtest/gtest.h>
#include <lsl_c.h>

#include "ProgramRun.h"

#include <string>
#include <vector>

namespace {

constexpr char kSourceId[] = "bf37e271-e0ee-455b-bc9e-6c23a3308d0e";
constexpr char kMarkerText[] = "/Experiment Control/Synchronization/Trigger/Biosemi";

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

TEST(ProgramMarkerTest, StreamIsThereFromTheStartLineUntilEnterEvenWhenTheDeviceFails) {
  auto program = StartProgram("clock=virtual;fault=DAQmxCreateTask#1:-50103:No device.");
  ASSERT_TRUE(program->ReadUntil(kStartLine, kTimeout)) << program->Output();
  {
    Resolved by_type("type", "Markers", 10.0);
    ASSERT_EQ(by_type.Count(), 1);
    ExpectTheMarkerStream(by_type.First());
  }

  ASSERT_TRUE(program->ReadUntil(kEndLine, kTimeout)) << program->Output();
  {
    Resolved by_source("source_id", kSourceId, 10.0);
    ASSERT_EQ(by_source.Count(), 1);
    ExpectTheMarkerStream(by_source.First());
  }
  EXPECT_EQ(program->Wait(0.2), -1) << "ended before Enter was pressed";

  program->WriteInput("\n");
  EXPECT_EQ(program->Wait(kTimeout), 1);
  Resolved after_exit("source_id", kSourceId, 1.0);
  EXPECT_EQ(after_exit.Count(), 0);
}

// In real time, with the wire cut for the first 2.9 s so that the consumer
// is connected before the first rise. The first cycle waits until step
// 29001 for its rise and step 29002 for its fall, which is past 10000, so
// the second starts at once: rises at steps 29001, 29003, 39003 and 49003,
// then the write of step 50001 fails.
TEST(ProgramMarkerTest, EachCycleGivesOneMarkerWithTheMarkerText) {
  constexpr std::size_t kCycles = 4;
  auto program =
      StartProgram("clock=realtime;cut=0-29000;fault=DAQmxWriteAnalogF64@50000:-200279:Stop.");
  ASSERT_TRUE(program->ReadUntil(kStartLine, kTimeout)) << program->Output();

  Resolved stream("source_id", kSourceId, 10.0);
  ASSERT_EQ(stream.Count(), 1);
  const lsl_inlet inlet = lsl_create_inlet(stream.First(), 360, 0, 1);
  ASSERT_NE(inlet, nullptr);
  int32_t error = 0;
  lsl_open_stream(inlet, 5.0, &error);
  ASSERT_EQ(error, 0);

  std::vector<std::string> markers;
  std::vector<double> stamps;
  // Pulls one marker; false when none comes within the timeout.
  const auto pull = [&](double timeout) {
    char *sample[1] = {nullptr};
    const double stamp = lsl_pull_sample_str(inlet, sample, 1, timeout, &error);
    if (stamp == 0.0 || error != 0) return false;
    markers.emplace_back(sample[0]);
    stamps.push_back(stamp);
    lsl_destroy_string(sample[0]);
    return true;
  };
  while (markers.size() < kCycles && pull(10.0)) {
  }

  ASSERT_TRUE(program->ReadUntil(kEndLine, kTimeout)) << program->Output();
  // Every marker was pushed before the end line; none may follow.
  EXPECT_FALSE(pull(0.5));
  program->CloseInput();
  EXPECT_EQ(program->Wait(kTimeout), 1);
  lsl_destroy_inlet(inlet);

  EXPECT_EQ(program->Output(), std::string(kStartLine) + "DAQmx Error: Stop.\n" + kEndLine);
  ASSERT_EQ(markers.size(), kCycles);
  for (const std::string &marker : markers) EXPECT_EQ(marker, kMarkerText);
  for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_GT(stamps[i], stamps[i - 1]);
}

}  // namespace
