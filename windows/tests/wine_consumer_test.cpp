// The Windows build of the program under wine64, read by this Linux build's
// LSL library: the two implementations of the stream's protocol, and the
// two platforms' sockets, meet on loopback.

#include <gtest/gtest.h>
#include <lsl_c.h>

#include "device_gate.h"
#include "program.h"

#include <string>
#include <vector>

namespace maroquint::windows {

namespace {

using maroquint::harness::ChildProcess;
using maroquint::harness::kMarkerText;
using maroquint::harness::kSourceId;
constexpr double kTimeout = maroquint::harness::kGenerousSeconds;

// In real time, the device's gate held until the consumer is connected,
// whatever Wine's start-up costs (the Windows program reaches the gate's
// file through Wine's drive Z:, the Linux root): rises seen at samples 1,
// 10001, 20001 and 30001, then the write of sample 40001 fails and the
// program closes its stream.
TEST(WineConsumerTest, LinuxConsumerReadsEveryMarkerOfTheProgramUnderWine) {
  constexpr std::size_t kCycles = 4;
  maroquint::harness::DeviceGate gate;
  ChildProcess program(MAROQUINT_WINE64, {MAROQUINT_WINDOWS_PROGRAM},
                       {"SIMDAQ=clock=realtime;gate=Z:" + gate.Path() +
                        ";fault=DAQmxWriteAnalogF64@40000:-200279:Stop."});
  ASSERT_TRUE(program.Started());
  ASSERT_TRUE(program.ReadUntil("Now sending markers...", kTimeout)) << program.Output();

  lsl_streaminfo found[4] = {};
  const int32_t count = lsl_resolve_byprop(found, 4, "source_id", kSourceId, 1, 20.0);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(lsl_get_name(found[0]), "Maroquint");
  EXPECT_STREQ(lsl_get_type(found[0]), "Markers");
  EXPECT_EQ(lsl_get_channel_format(found[0]), cft_string);
  // Without recovery the inlet reports the end of the stream after the
  // last marker.
  const lsl_inlet inlet = lsl_create_inlet(found[0], 360, 0, 0);
  lsl_destroy_streaminfo(found[0]);
  ASSERT_NE(inlet, nullptr);
  int32_t error = 0;
  lsl_open_stream(inlet, 10.0, &error);
  ASSERT_EQ(error, 0);
  lsl_time_correction(inlet, 5.0, &error);
  EXPECT_EQ(error, 0) << "no time correction with the outlet under Wine";
  ASSERT_TRUE(gate.Release());

  std::vector<std::string> markers;
  std::vector<double> stamps;
  for (;;) {
    char *sample[1] = {nullptr};
    const double stamp = lsl_pull_sample_str(inlet, sample, 1, kTimeout, &error);
    if (stamp == 0.0) break;
    markers.emplace_back(sample[0]);
    stamps.push_back(stamp);
    lsl_destroy_string(sample[0]);
  }
  EXPECT_EQ(error, lsl_lost_error);

  ASSERT_TRUE(program.ReadUntil("End of program, press Enter key to quit", kTimeout))
      << program.Output();
  program.CloseInput();
  EXPECT_EQ(program.Wait(kTimeout), 1);
  lsl_destroy_inlet(inlet);

  // A Windows console program's lines end in CR LF.
  EXPECT_EQ(program.Output(),
            "Now sending markers...\r\nDAQmx Error: Stop.\r\nEnd of program, press Enter key to "
            "quit\r\n");
  ASSERT_EQ(markers.size(), kCycles);
  for (const std::string &marker : markers) EXPECT_EQ(marker, kMarkerText);
  for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_GT(stamps[i], stamps[i - 1]);
}

}  // namespace

}  // namespace maroquint::windows
