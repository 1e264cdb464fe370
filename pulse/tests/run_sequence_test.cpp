#include "run_sequence.h"
#include "scripted_devices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace maroquint::pulse {

namespace {

constexpr DaqStatus kDeviceError = -50103;

// The calls and console output of a run, without the sample steps.
std::vector<std::string> Sequence(const Journal &journal) {
  std::vector<std::string> sequence;
  for (const Event &event : journal) {
    switch (event.kind) {
      case Event::Kind::kCall:
        sequence.push_back(event.text);
        break;
      case Event::Kind::kOutput:
        sequence.push_back("print " + event.text);
        break;
      case Event::Kind::kKey:
        sequence.push_back("wait for key");
        break;
      default:
        break;
    }
  }
  return sequence;
}

long StepsMade(const Journal &journal) {
  long writes = 0;
  for (const Event &event : journal) writes += event.kind == Event::Kind::kWrite;
  return writes;
}

TEST(RunSequenceTest, DeviceThatCannotBeOpenedIsReportedReleasedAndEndsWithStatusOne) {
  Journal journal;
  RecordingOutlet outlet(journal);
  ScriptedLoopback loopback(journal, Connected());
  loopback.OpenStatus(kDeviceError);
  loopback.ErrorTextIs("Device identifier is invalid.");
  RecordingConsole console(journal);

  EXPECT_EQ(RunSequence(outlet, loopback, console), 1);

  EXPECT_EQ(console.Output(),
            "Now sending markers...\n"
            "DAQmx Error: Device identifier is invalid.\n"
            "End of program, press Enter key to quit\n");
  const std::vector<std::string> expected{"outlet.Open",
                                          "print Now sending markers...\n",
                                          "loopback.Open",
                                          "loopback.ErrorText",
                                          "loopback.Close",
                                          "outlet.Close",
                                          "print DAQmx Error: ",
                                          "print Device identifier is invalid.",
                                          "print \n",
                                          "print End of program, press Enter key to quit\n",
                                          "wait for key"};
  EXPECT_EQ(Sequence(journal), expected);
  EXPECT_EQ(StepsMade(journal), 0);
}

TEST(RunSequenceTest, FailureInTheCycleFetchesTheTextBeforeClosing) {
  Journal journal;
  RecordingOutlet outlet(journal);
  ScriptedLoopback loopback(journal, Connected());
  loopback.ReadStatusAt(15000, kDeviceError);
  loopback.ErrorTextIs("Onboard device memory underflow.");
  RecordingConsole console(journal);

  EXPECT_EQ(RunSequence(outlet, loopback, console), 1);

  EXPECT_EQ(StepsMade(journal), 15000);
  EXPECT_EQ(MarkerSteps(journal), (std::vector<long>{1, 10001}));
  EXPECT_EQ(console.Output(),
            "Now sending markers...\n"
            "DAQmx Error: Onboard device memory underflow.\n"
            "End of program, press Enter key to quit\n");
  const std::vector<std::string> sequence = Sequence(journal);
  ASSERT_GE(sequence.size(), 6u);
  EXPECT_EQ(sequence[2], "loopback.Open");
  EXPECT_EQ(sequence[3], "loopback.ErrorText");
  EXPECT_EQ(sequence[4], "loopback.Close");
  EXPECT_EQ(sequence[5], "outlet.Close");
  EXPECT_EQ(sequence.back(), "wait for key");
}

TEST(RunSequenceTest, WarningFromOpenStillRunsTheCycle) {
  Journal journal;
  RecordingOutlet outlet(journal);
  ScriptedLoopback loopback(journal, Connected());
  loopback.OpenStatus(200077);
  loopback.WriteStatusAt(3, kDeviceError);
  RecordingConsole console(journal);

  EXPECT_EQ(RunSequence(outlet, loopback, console), 1);
  EXPECT_EQ(StepsMade(journal), 3);
}

TEST(RunSequenceTest, EmptyErrorTextLeavesNothingAfterTheColon) {
  Journal journal;
  RecordingOutlet outlet(journal);
  ScriptedLoopback loopback(journal, Connected());
  loopback.OpenStatus(kDeviceError);
  RecordingConsole console(journal);

  RunSequence(outlet, loopback, console);
  EXPECT_EQ(console.Output(),
            "Now sending markers...\n"
            "DAQmx Error: \n"
            "End of program, press Enter key to quit\n");
}

TEST(RunSequenceTest, OutletThatCannotBeCreatedLeavesTheDeviceUntouched) {
  Journal journal;
  RecordingOutlet outlet(journal, false);
  ScriptedLoopback loopback(journal, Connected());
  RecordingConsole console(journal);

  EXPECT_EQ(RunSequence(outlet, loopback, console), 1);

  EXPECT_EQ(console.Output(),
            "LSL Error: could not create the marker stream \"Maroquint\"\n"
            "End of program, press Enter key to quit\n");
  const std::vector<std::string> expected{
      "outlet.Open", "print LSL Error: could not create the marker stream \"Maroquint\"\n",
      "print End of program, press Enter key to quit\n", "wait for key"};
  EXPECT_EQ(Sequence(journal), expected);
  EXPECT_EQ(StepsMade(journal), 0);
  EXPECT_TRUE(MarkerSteps(journal).empty());
}

}  // namespace

}  // namespace maroquint::pulse
