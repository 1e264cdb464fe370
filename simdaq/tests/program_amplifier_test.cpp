// The program in real time with the simulated amplifier on: when the run
// ends with a device error, the recording is complete while the program
// still waits for Enter, and it shows every pulse where the truth puts it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bdf_check.h"
#include "soak.h"

namespace {

TEST(ProgramWithAmplifier, RecordingIsCompleteAfterADeviceError) {
  const std::string base = std::string(SIMDAQ_LOCK_DIR) + "/program_amplifier";
  std::remove((base + ".bdf").c_str());
  std::remove((base + ".truth").c_str());
  SimulatedProgram program;
  ASSERT_TRUE(program.Start(
      MAROQUINT_PROGRAM, "amplifier=" + base + ".bdf;amplifier_truth=" + base +
                             ".truth;amplifier_rate=16384;amplifier_drift=50;lock_dir=" +
                             SIMDAQ_LOCK_DIR + ";fault=DAQmxReadAnalogF64@35000:-200284:Stopped."));
  // Generous: 3.5 s of pulses on a busy machine.
  ASSERT_TRUE(program.ReadUntil(kEndLine, 120.0)) << program.seen;
  EXPECT_EQ(program.seen, std::string(kStartLine) + "DAQmx Error: Stopped.\n" + kEndLine);

  const simdaq_test::Truth truth = simdaq_test::ReadTruth(base + ".truth");
  EXPECT_EQ(truth.rate, 16384);
  EXPECT_EQ(truth.drift_ppm, 50);
  EXPECT_EQ(truth.edges.size(), 4u) << "pulses rise at samples 1, 10001, 20001 and 30001";
  const simdaq_test::BdfStatus recorded = simdaq_test::ReadBdfStatus(base + ".bdf");
  EXPECT_GE(recorded.records, 3);
  EXPECT_TRUE(recorded.only_bit_zero);
  const std::vector<long long> expected =
      simdaq_test::ExpectedOnsets(truth, static_cast<long long>(recorded.records) * 16384);
  EXPECT_GE(expected.size(), 3u);
  EXPECT_EQ(recorded.onsets, expected);
  EXPECT_EQ(program.PressEnter(), 1);
}

}  // namespace
