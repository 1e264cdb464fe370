// End to end on the simulated device in real time: the amplifier's BDF and
// the monitor's XDF of one run, aligned by maroquint-align, against the
// truth the simulated amplifier wrote.
#include <edflib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "sync_session.h"

namespace maroquint::align {
namespace {

TEST(AlignSession, RecoversTheAmplifiersClockAndPairsEveryPulse) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("maroquint-align-session-" +
       std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  session::Config config;
  config.dir = dir.string();
  session::Result result;
  std::string problem;
  ASSERT_TRUE(session::Record(config, result, problem)) << problem;
  ASSERT_EQ(result.align_status, 0) << result.align_output;
  std::ifstream in(result.json);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string json = text.str();

  // The pulses whose edge the BDF holds (it ends with its last whole second).
  auto header = std::make_unique<edf_hdr_struct>();
  ASSERT_EQ(edfopen_file_readonly(result.bdf.c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS),
            0);
  const double recorded = header->file_duration * 1e-7 / (1 + config.drift_ppm * 1e-6);
  edfclose_file(header->handle);
  std::size_t pulses = 0;
  for (double edge : result.truth.edges) pulses += edge < result.truth.t0 + recorded;

  EXPECT_NEAR(session::JsonNumber(json, "drift_ppm"), config.drift_ppm, 5) << json;
  // Paired with the right pulses, not shifted by whole periods.
  EXPECT_NEAR(session::JsonNumber(json, "offset_s"), result.truth.t0, 0.1) << json;
  EXPECT_GE(session::JsonNumber(json, "pairs"), pulses - 1.0) << json << result.align_output;
  EXPECT_LE(session::JsonArrayLength(json, "unmatched_onsets"), 1u) << json;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace maroquint::align
