// The built monitor watching the built program on the simulated driver, in
// real time: the stream's end with a device error and its return with a new
// instance, the intervals, and pulses lost while the wire is cut. Where a
// test needs the markers from the start, the device's gate holds the first
// pulse until the monitor watches.
#include "child_process.h"
#include "device_gate.h"
#include "matches_regex.h"
#include "monitor_test_support.h"
#include "program.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

namespace maroquint::monitor {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using namespace harness;

const std::string kWatching =
    "Watching \"Maroquint\" (type \"Markers\", source id \"" + std::string(kSourceId) + "\"";

// The first instance's device fails while the monitor watches it: the
// monitor sees the outlet go while the program waits for Enter, and the
// markers of a second instance started meanwhile.
TEST(MonitorWatchingTheProgram, StreamEndsWithTheDeviceErrorAndComesBackWithANewInstance) {
  auto monitor = StartMonitor({"--count", "1", "--timeout", "120"});
  DeviceGate gate;
  auto first = StartProgram("clock=realtime;" + gate.Setting() +
                            ";fault=DAQmxWriteAnalogF64#1:-200010:Stop.");
  ASSERT_TRUE(monitor->ReadUntil(kWatching)) << monitor->Output();
  ASSERT_TRUE(gate.Release());
  ASSERT_TRUE(first->ReadUntil(kEndLine)) << first->Output();
  ASSERT_TRUE(monitor->ReadUntil("The stream's outlet is gone")) << monitor->Output();

  auto second = StartProgram("clock=realtime");
  const Finished run = Finish(*monitor);
  // A new instance is a restart; the pulses of the silence are missed.
  EXPECT_EQ(run.exit_status, 4) << run.errors;
  EXPECT_THAT(run.output, ContainsRegex("\nUNHEALTHY: 1 restart of the stream \\(a new outlet: uid "
                                        "[-0-9a-f]+, then uid [-0-9a-f]+\\); [0-9]+ missed pulses "
                                        "\\(limit 0\\): [0-9]+ before the first marker\n$"));
  EXPECT_THAT(run.output, HasSubstr("The stream is back after"));
  EXPECT_THAT(run.output, HasSubstr(kMarkerText));
  EXPECT_THAT(run.output, HasSubstr("  restarts                1 (outlets: uid "));
  EXPECT_THAT(run.output, Not(HasSubstr("reconnections")));

  EXPECT_FALSE(first->Exited()) << "ended before Enter was pressed";
  first->WriteInput("\n");
  EXPECT_EQ(first->Wait(), kProgramErrorStatus);
}

// Rises at samples 1, 10001, 20001, ...: one marker a second, whenever the
// monitor joins.
TEST(MonitorWatchingTheProgram, RealTimeMarkersOneSecondApart) {
  // A busy machine may delay a push by much more than the default limit.
  auto monitor = StartMonitor({"--count", "3", "--max-jitter", "0.5"});
  auto program = StartProgram("clock=realtime");
  const Finished run = Finish(*monitor);

  EXPECT_EQ(run.exit_status, 0) << run.errors << run.output;
  const std::vector<MarkerLine> markers = MarkerLines(run.output);
  ASSERT_EQ(markers.size(), 3u) << run.output;
  for (std::size_t i = 1; i < markers.size(); ++i) {
    // One period each, however late the machine let either push be.
    EXPECT_GT(std::stod(markers[i].interval), 0.5) << run.output;
    // Sender and monitor share the machine's clock.
    EXPECT_NEAR(markers[i].local, markers[i].timestamp, 0.5) << run.output;
  }
  EXPECT_THAT(run.output, HasSubstr(kMarkerText));
  EXPECT_THAT(run.output, HasSubstr("  missed pulses           0\n"));
  EXPECT_THAT(run.output, ::testing::EndsWith("\nhealthy\n"));
}

// The wire is cut for samples [15000, 40000): the cycle begun at 20001 is
// seen at 40001 and followed at once by the next one (40003); the rise due
// at 30001 never comes back.
TEST(MonitorWatchingTheProgram, RealTimePulsesMissedWhileTheWireIsCut) {
  // A busy machine may delay a push by much more than the default jitter
  // limit; a gap counted as jitter would still be far over this one.
  auto monitor = StartMonitor({"--count", "6", "--max-jitter", "0.5"});
  DeviceGate gate;
  auto program = StartProgram("clock=realtime;" + gate.Setting() + ";cut=15000-40000");
  ASSERT_TRUE(monitor->ReadUntil(kWatching)) << monitor->Output();
  ASSERT_TRUE(gate.Release());
  const Finished run = Finish(*monitor);

  // 2 missed while the wire was cut (and before the first marker only
  // what a busy machine took to let the device start).
  EXPECT_EQ(run.exit_status, 4) << run.errors;
  // Nothing else: the catch-up is no extra marker, the gap no jitter.
  EXPECT_THAT(run.output,
              ContainsRegex("\nUNHEALTHY: [0-9]+ missed pulses \\(limit 0\\): 2 in a "
                            "gap before marker 3(, [0-9]+ before the first marker)?\n$"));
  EXPECT_THAT(run.output, HasSubstr("  [catch-up after the gap]\n"));
  EXPECT_THAT(run.output, HasSubstr("No marker for "));
  EXPECT_THAT(run.output, HasSubstr("the stream's outlet is still there.\n"));
  EXPECT_THAT(run.output, Not(HasSubstr("gone")));
  EXPECT_THAT(run.output, HasSubstr(std::string(kMarkerText) + "  [2 pulses missed]\n"));
  EXPECT_THAT(run.output, ContainsRegex("  missed pulses           [0-9]+: 2 in 1 gap(, [0-9]+ "
                                        "before the first marker)?\n"));
  EXPECT_EQ(MarkerLines(run.output).size(), 6u) << run.output;
}

// The wire from ao0 to ai0 unplugged: the program runs, its stream is there,
// and not one marker comes.
TEST(MonitorWatchingTheProgram, UnpluggedWireIsUnhealthy) {
  auto program = StartProgram("clock=realtime;wire=disconnected");
  ASSERT_TRUE(program->ReadUntil(kStartLine)) << program->Output();
  const Finished run = Finish(*StartMonitor({"--duration", "3.5"}));

  EXPECT_EQ(run.exit_status, 4) << run.errors;
  EXPECT_THAT(run.output, HasSubstr("\nno marker for "));
  EXPECT_THAT(run.output, HasSubstr(" (1 pulse missed)\n"));
  EXPECT_THAT(run.output, ContainsRegex("\nUNHEALTHY: no marker received; [0-9]+ missed "
                                        "pulses \\(limit 0\\): [0-9]+ before the first marker\n$"));
}

// A device error ends the program's stream at once; a monitor that waits no
// longer than --timeout for it reports a lost stream.
TEST(MonitorWatchingTheProgram, DeviceErrorMidRunIsALostStream) {
  DeviceGate gate;
  auto program = StartProgram("clock=realtime;" + gate.Setting() +
                              ";fault=DAQmxWriteAnalogF64@25000:-200010:Stop.");
  ASSERT_TRUE(program->ReadUntil(kStartLine)) << program->Output();
  auto monitor = StartMonitor({"--timeout", "10"});
  ASSERT_TRUE(monitor->ReadUntil(kWatching)) << monitor->Output();
  ASSERT_TRUE(gate.Release());
  ASSERT_TRUE(program->ReadUntil(kEndLine)) << program->Output();
  const Finished run = Finish(*monitor);
  program->WriteInput("\n");
  EXPECT_EQ(program->Wait(), kProgramErrorStatus);

  EXPECT_EQ(run.exit_status, 3) << run.errors;
  EXPECT_THAT(run.errors,
              HasSubstr("maroquint-monitor: stream lost: its outlet has been gone for "));
  EXPECT_THAT(run.output, ContainsRegex("\nUNHEALTHY: .*the stream was lost\n$"));
}

}  // namespace
}  // namespace maroquint::monitor
