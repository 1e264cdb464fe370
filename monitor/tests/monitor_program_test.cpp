// The built monitor watching the built program on the simulated driver: in
// virtual time for the life of the stream (silence, restart, loss), in real
// time for the intervals and for pulses lost while the wire is cut.
#include "ChildProcess.h"
#include "matches_regex.h"
#include "run_program.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>

namespace maroquint::monitor::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kText = "/Experiment Control/Synchronization/Trigger/Biosemi";
const std::string kSourceId = "bf37e271-e0ee-455b-bc9e-6c23a3308d0e";
const std::string kStartLine = "Now sending markers...\n";
const std::string kEndLine = "End of program, press Enter key to quit\n";
constexpr double kWait = 60.0;
// The program's exit status after a device error.
constexpr int kProgramErrorExit = 1;

std::unique_ptr<ChildProcess> StartProgram(const std::string &simdaq) {
  return std::make_unique<ChildProcess>(MAROQUINT_PROGRAM, std::vector<std::string>{},
                                        std::vector<std::string>{"SIMDAQ=" + simdaq});
}

BackgroundProgram StartMonitor(std::vector<std::string> args) {
  // A safety net against a test gone wrong; a --duration of the test comes later and wins.
  args.insert(args.begin(), {"--duration", "60"});
  return BackgroundProgram(MAROQUINT_MONITOR, args);
}

// Sender's time stamps and intervals of the plain marker lines.
struct Marker {
  double timestamp = 0.0;
  double local = 0.0;
  std::string interval;
};
std::vector<Marker> Markers(const std::string &out) {
  std::vector<Marker> markers;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) {
    std::istringstream fields(line);
    long index = 0;
    Marker marker;
    std::string local;
    if (fields >> index >> marker.timestamp >> local >> marker.interval) {
      marker.local = local == "-" ? NAN : std::stod(local);
      markers.push_back(marker);
    }
  }
  return markers;
}

// The program stops at once on a failing write and then holds its stream
// until Enter; a second run declares the same source id.
TEST(MonitorWatchingTheProgram, VirtualTimeSilenceRestartAndLoss) {
  const std::string simdaq = "clock=virtual;fault=DAQmxWriteAnalogF64@5000:-200010:Stop.";
  auto first = StartProgram(simdaq);
  ASSERT_TRUE(first->ReadUntil(kEndLine, kWait)) << first->Output();
  BackgroundProgram monitor = StartMonitor({"--timeout", "3"});
  ASSERT_TRUE(monitor.WaitForOutput(
      "Watching \"Maroquint\" (type \"Markers\", source id \"" + kSourceId + "\"", kWait));
  ASSERT_TRUE(monitor.WaitForOutput("the stream's outlet is still there.\n", kWait));

  first->WriteInput("\n");
  EXPECT_EQ(first->Wait(kWait), kProgramErrorExit);
  ASSERT_TRUE(monitor.WaitForOutput("The stream's outlet is gone", kWait));

  auto second = StartProgram(simdaq);
  ASSERT_TRUE(second->ReadUntil(kEndLine, kWait)) << second->Output();
  ASSERT_TRUE(monitor.WaitForOutput("The stream is back after", kWait));
  second->WriteInput("\n");
  EXPECT_EQ(second->Wait(kWait), kProgramErrorExit);

  const ProgramResult run = monitor.Finish();
  EXPECT_EQ(run.exit_status, 3);
  EXPECT_THAT(
      run.err,
      MatchesRegex("maroquint-monitor: stream lost: its outlet has been gone for [0-9.]+ s\n"));
  EXPECT_THAT(run.out, HasSubstr("  reconnections           1\n"));
  EXPECT_THAT(run.out, MatchesRegex("(.|\n)*\nUNHEALTHY: .*the stream was lost\n"));
}

// The wire from ao0 to ai0 unplugged: the program runs, its stream is there,
// and not one marker comes.
TEST(MonitorWatchingTheProgram, RealTimeUnpluggedWireIsUnhealthy) {
  auto program = StartProgram(
      "clock=realtime;wire=disconnected;fault=DAQmxWriteAnalogF64@60000:-200010:Stop.");
  ASSERT_TRUE(program->ReadUntil(kStartLine, kWait)) << program->Output();
  const ProgramResult run = StartMonitor({"--duration", "3.5"}).Finish();
  program->CloseInput();
  EXPECT_EQ(program->Wait(kWait), kProgramErrorExit);

  EXPECT_EQ(run.exit_status, 4) << run.err;
  EXPECT_THAT(run.out, HasSubstr("\nno marker for "));
  EXPECT_THAT(run.out, HasSubstr(" (1 pulse missed)\n"));
  EXPECT_THAT(run.out, MatchesRegex("(.|\n)*\nUNHEALTHY: no marker received; [0-9]+ missed "
                                    "pulses \\(limit 0\\)\n"));
}

// Rises at samples 1, 10001, 20001, ...: one marker a second.
TEST(MonitorWatchingTheProgram, RealTimeMarkersOneSecondApart) {
  // A busy machine may delay the simulated device by milliseconds.
  BackgroundProgram monitor = StartMonitor({"--count", "3", "--max-jitter", "0.05"});
  auto program = StartProgram("clock=realtime;fault=DAQmxWriteAnalogF64@50000:-200010:Stop.");
  const ProgramResult run = monitor.Finish();
  program->CloseInput();
  EXPECT_EQ(program->Wait(kWait), kProgramErrorExit);

  EXPECT_EQ(run.exit_status, 0) << run.err;
  const std::vector<Marker> markers = Markers(run.out);
  ASSERT_EQ(markers.size(), 3u) << run.out;
  for (std::size_t i = 1; i < markers.size(); ++i) {
    EXPECT_NEAR(std::stod(markers[i].interval), 1.0, 0.05) << run.out;
    // Sender and monitor share the machine's clock.
    EXPECT_NEAR(markers[i].local, markers[i].timestamp, 0.01) << run.out;
  }
  EXPECT_THAT(run.out, HasSubstr(kText));
  EXPECT_THAT(run.out, HasSubstr("  missed pulses           0\n"));
  EXPECT_THAT(run.out, ::testing::EndsWith("\nhealthy\n"));
}

// The wire is cut for samples [15000, 40000): the rises due at 20000 and
// 30000 never come back, the one of the cycle begun at 30000 is seen at
// 40001, and that long cycle is followed at once by the next one.
TEST(MonitorWatchingTheProgram, RealTimePulsesMissedWhileTheWireIsCut) {
  BackgroundProgram monitor = StartMonitor({"--duration", "5.5"});
  auto program =
      StartProgram("clock=realtime;cut=15000-40000;fault=DAQmxWriteAnalogF64@52000:-200010:Stop.");
  const ProgramResult run = monitor.Finish();
  program->CloseInput();
  EXPECT_EQ(program->Wait(kWait), kProgramErrorExit);

  EXPECT_EQ(run.exit_status, 4) << run.err;
  EXPECT_THAT(run.out, MatchesRegex("(.|\n)*\nUNHEALTHY: [0-9]+ missed pulses \\(limit 0\\).*\n"));
  EXPECT_THAT(run.out, HasSubstr("No marker for "));
  EXPECT_THAT(run.out, HasSubstr("the stream's outlet is still there.\n"));
  EXPECT_THAT(run.out, Not(HasSubstr("gone")));
  EXPECT_THAT(run.out, HasSubstr(kText + "  [2 pulses missed]\n"));
  EXPECT_THAT(run.out, HasSubstr("  missed pulses           2 in 1 gap\n"));
  const std::vector<Marker> markers = Markers(run.out);
  ASSERT_GE(markers.size(), 3u) << run.out;
  bool gap_seen = false;
  for (const Marker &marker : markers)
    if (marker.interval != "-" && std::fabs(std::stod(marker.interval) - 3.0) < 0.05)
      gap_seen = true;
  EXPECT_TRUE(gap_seen) << run.out;
}

}  // namespace
}  // namespace maroquint::monitor::testing
