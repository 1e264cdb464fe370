// The program in real time with the simulated amplifier on: when the run
// ends with a device error, the recording is complete while the program
// still waits for Enter, and it shows every pulse where the truth puts it.
// Ctrl+C then ends the program as it always did.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "bdf_check.h"
#include "program.h"

namespace {

using maroquint::harness::kEndLine;
using maroquint::harness::kStartLine;

TEST(ProgramWithAmplifier, RecordingIsCompleteAfterADeviceError) {
  const std::string base = std::string(SIMDAQ_TEST_DIR) + "/program_amplifier";
  std::remove((base + ".bdf").c_str());
  std::remove((base + ".truth").c_str());
  const auto program =
      maroquint::harness::StartProgram("amplifier=" + base + ".bdf;amplifier_truth=" + base +
                                       ".truth;amplifier_rate=16384;amplifier_drift=50;"
                                       "fault=DAQmxReadAnalogF64@35000:-200284:Stopped.");
  ASSERT_TRUE(program->ReadUntil(kEndLine)) << program->Output();
  EXPECT_EQ(program->Output(), std::string(kStartLine) + "DAQmx Error: Stopped.\n" + kEndLine);

  const maroquint::simdaq::test::Truth truth = maroquint::simdaq::test::ReadTruth(base + ".truth");
  EXPECT_EQ(truth.rate, 16384);
  EXPECT_EQ(truth.drift_ppm, 50);
  EXPECT_EQ(truth.edges.size(), 4u) << "pulses rise at samples 1, 10001, 20001 and 30001";
  const maroquint::simdaq::test::BdfStatus recorded =
      maroquint::simdaq::test::ReadBdfStatus(base + ".bdf");
  EXPECT_GE(recorded.records, 3);
  EXPECT_TRUE(recorded.only_bit_zero);
  const std::vector<long long> expected = maroquint::simdaq::test::ExpectedOnsets(
      truth, static_cast<long long>(recorded.records) * 16384);
  EXPECT_GE(expected.size(), 3u);
  EXPECT_EQ(recorded.onsets, expected);

  // The recording is over: Ctrl+C ends the waiting program as it would without the amplifier.
  program->Signal(SIGINT);
  EXPECT_EQ(program->Wait(), 128 + SIGINT) << "Ctrl+C did not end the program";
}

}  // namespace
