#include "clock_sync.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace maroquint::xdf {
namespace {

// A sender whose clock is `offset` behind the recorder's at sender time 0
// and runs `drift` slow: recorder = sender + offset + drift × sender.
Stream DriftingStream(double offset, double drift, double start) {
  Stream stream;
  for (int i = 0; i <= 60; ++i) {
    const double sender = start + 5.0 * i;
    stream.clock_offsets.push_back({sender + offset + drift * sender, offset + drift * sender});
  }
  for (int i = 0; i < 300; ++i) stream.time_stamps.push_back(start - 5.0 + i);
  return stream;
}

TEST(ClockSync, RecoversOffsetAndDrift) {
  // Clocks hours apart, 100 ppm: the line must be over the sender's time.
  Stream stream = DriftingStream(-7200.0, 100e-6, 50000.0);
  // A few measurements disturbed by milliseconds must not tilt the line.
  stream.clock_offsets[10].value += 0.004;
  stream.clock_offsets[11].value -= 0.003;
  stream.clock_offsets[40].value += 0.010;
  const std::vector<double> synced = SynchronizedTimeStamps(stream);
  ASSERT_EQ(synced.size(), stream.time_stamps.size());
  for (std::size_t i = 0; i < synced.size(); ++i) {
    const double sender = stream.time_stamps[i];
    EXPECT_NEAR(synced[i], sender - 7200.0 + 100e-6 * sender, 5e-6) << i;
  }
}

TEST(ClockSync, EachSegmentBetweenResetsHasItsOwnLine) {
  Stream before = DriftingStream(3.0, 0.0, 1000.0);
  Stream after = DriftingStream(-500.0, 20e-6, 10.0);
  Stream stream = before;
  for (auto o : after.clock_offsets) {
    o.collection_time += 2000;  // the recorder's clock went on
    o.value += 2000;
    stream.clock_offsets.push_back(o);
  }
  stream.time_stamps = {1100.0, 20.0};
  const std::vector<OffsetLine> lines = FitClockOffsets(stream.clock_offsets);
  ASSERT_EQ(lines.size(), 2u);
  const std::vector<double> synced = SynchronizedTimeStamps(stream);
  EXPECT_NEAR(synced[0], 1103.0, 1e-9);
  EXPECT_NEAR(synced[1], 20.0 + 1500.0 + 20e-6 * 20.0, 1e-9);
}

TEST(ClockSync, WithoutOffsetsTheStampsStay) {
  Stream stream;
  stream.time_stamps = {1.0, 2.0};
  EXPECT_EQ(SynchronizedTimeStamps(stream), stream.time_stamps);
  stream.clock_offsets = {{5.0, 0.25}};
  EXPECT_EQ(SynchronizedTimeStamps(stream), (std::vector<double>{1.25, 2.25}));
}

TEST(ClockSync, ReferenceFileStampsMoveByTheOffset) {
  std::ifstream in(MAROQUINT_XDF_TEST_DATA "/minimal.xdf", std::ios::binary);
  const File file = Read(std::string{std::istreambuf_iterator<char>(in), {}});
  const std::vector<double> synced = SynchronizedTimeStamps(*file.FindByName("SendDataC"));
  ASSERT_EQ(synced.size(), 9u);
  for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR(synced[i], 5.0 + 0.1 * i, 1e-9);
}

}  // namespace
}  // namespace maroquint::xdf
