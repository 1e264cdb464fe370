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

class RunSequenceTest : public ::testing::Test {
 protected:
  int Run(bool outlet_opens = true) {
    RecordingOutlet outlet(journal_, outlet_opens);
    return RunSequence(outlet, loopback_, console_);
  }

  Journal journal_;
  ScriptedLoopback loopback_{journal_, Connected()};
  RecordingConsole console_{journal_};
};

TEST_F(RunSequenceTest, DeviceThatCannotBeOpenedIsReportedReleasedAndEndsWithStatusOne) {
  loopback_.OpenStatus(kDeviceError);
  loopback_.ErrorTextIs("Device identifier is invalid.");
  EXPECT_EQ(Run(), 1);
  // The console's output is the sequence's prints.
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
  EXPECT_EQ(Sequence(journal_), expected);
  EXPECT_EQ(StepsMade(journal_), 0);
}

TEST_F(RunSequenceTest, FailureInTheCycleFetchesTheTextBeforeClosing) {
  loopback_.ReadStatusAt(15000, kDeviceError);
  loopback_.ErrorTextIs("Onboard device memory underflow.");
  EXPECT_EQ(Run(), 1);

  EXPECT_EQ(StepsMade(journal_), 15000);
  EXPECT_EQ(MarkerSteps(journal_), (std::vector<long>{1, 10001}));
  EXPECT_EQ(console_.Output(),
            "Now sending markers...\n"
            "DAQmx Error: Onboard device memory underflow.\n"
            "End of program, press Enter key to quit\n");
  const std::vector<std::string> sequence = Sequence(journal_);
  ASSERT_GE(sequence.size(), 6u);
  EXPECT_EQ(sequence[2], "loopback.Open");
  EXPECT_EQ(sequence[3], "loopback.ErrorText");
  EXPECT_EQ(sequence[4], "loopback.Close");
  EXPECT_EQ(sequence[5], "outlet.Close");
  EXPECT_EQ(sequence.back(), "wait for key");
}

TEST_F(RunSequenceTest, WarningFromOpenStillRunsTheCycle) {
  loopback_.OpenStatus(200077);
  loopback_.WriteStatusAt(3, kDeviceError);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(StepsMade(journal_), 3);
}

TEST_F(RunSequenceTest, EmptyErrorTextLeavesNothingAfterTheColon) {
  loopback_.OpenStatus(kDeviceError);
  Run();
  EXPECT_EQ(console_.Output(),
            "Now sending markers...\n"
            "DAQmx Error: \n"
            "End of program, press Enter key to quit\n");
}

TEST_F(RunSequenceTest, OutletThatCannotBeCreatedLeavesTheDeviceUntouched) {
  EXPECT_EQ(Run(false), 1);
  const std::vector<std::string> expected{
      "outlet.Open", "print LSL Error: could not create the marker stream \"Maroquint\"\n",
      "print End of program, press Enter key to quit\n", "wait for key"};
  EXPECT_EQ(Sequence(journal_), expected);
  EXPECT_EQ(StepsMade(journal_), 0);
  EXPECT_TRUE(MarkerSteps(journal_).empty());
}

}  // namespace

}  // namespace maroquint::pulse
