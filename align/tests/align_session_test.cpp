// End to end on the simulated device in real time: the amplifier's BDF and
// the monitor's XDF of one run, aligned by maroquint-align, against the
// truth the simulated amplifier wrote. The runs are the lab's: recordings
// that are windows of a long run, a wire cut while both record, the EEG
// recorded through LSL into one file with the markers.
#include <edflib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <vector>

#include "sync_session.h"

namespace maroquint::align {
namespace {

// The amplifier's "a" is the true LSL time of its first sample; the
// markers are stamped when the program's read shows the rise, some tens of
// microseconds after the true edge on an idle machine and more on a busy
// one, a latency the alignment cannot tell from the amplifier's offset. The
// offset's 95 % interval is checked against the truth moved by the markers'
// typical latency, within this much.
constexpr double kMarkerLatencyAllowance = 1e-4;

// Candidates of a pairing differ by whole pulse periods (a second).
constexpr double kSameOffset = 0.003;

struct Session {
  session::Config config;
  session::Result result;
  std::string json;
};

// Runs a session in a directory of its own; the directory stays when the
// test fails, for a look at the files.
void RunSession(const std::string &name, Session &s) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("maroquint-align-" + name + "-" +
       std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  s.config.dir = dir.string();
  std::string problem;
  ASSERT_TRUE(session::Record(s.config, s.result, problem)) << problem;
  s.json = session::ReadFile(s.result.json);
}

void RemoveIfPassed(const Session &s) {
  if (!::testing::Test::HasFailure() && !s.config.dir.empty())
    std::filesystem::remove_all(s.config.dir);
}

// The markers' typical delay after the true edges they mark: their median,
// since the fit leaves out what the mean would take in, a marker stamped
// milliseconds late and the cut's marker at the end of its long pulse.
double MarkerLatency(const Session &s) {
  std::vector<double> latencies;
  for (double marker : s.result.marker_times) {
    double nearest = INFINITY;
    for (double edge : s.result.truth.edges)
      if (std::fabs(marker - edge) < std::fabs(marker - nearest)) nearest = edge;
    if (std::fabs(marker - nearest) < 0.5) latencies.push_back(marker - nearest);
  }
  if (latencies.empty()) return 0.0;
  std::nth_element(latencies.begin(), latencies.begin() + latencies.size() / 2, latencies.end());
  return latencies[latencies.size() / 2];
}

// The pairing's offset and its 95 % interval against the truth.
void ExpectOffsetWithinItsInterval(const Session &s) {
  const double offset = session::JsonNumber(s.json, "offset_s");
  EXPECT_NEAR(offset, s.result.truth.t0, kSameOffset) << s.json;
  const double expected = s.result.truth.t0 + MarkerLatency(s);
  const std::vector<double> interval = session::JsonNumberArray(s.json, "offset_ci95_s");
  ASSERT_EQ(interval.size(), 2u) << s.json;
  EXPECT_LE(interval[0] - kMarkerLatencyAllowance, expected) << s.json;
  EXPECT_GE(interval[1] + kMarkerLatencyAllowance, expected) << s.json;
}

TEST(AlignSession, RecoversTheAmplifiersClockAndPairsEveryPulse) {
  Session s;
  RunSession("whole-run", s);
  if (HasFatalFailure()) return;
  ASSERT_EQ(s.result.align_status, 0) << s.result.align_output;

  // The pulses whose edge the BDF holds (it ends with its last whole second).
  auto header = std::make_unique<edf_hdr_struct>();
  ASSERT_EQ(
      edfopen_file_readonly(s.result.bdf.c_str(), header.get(), EDFLIB_DO_NOT_READ_ANNOTATIONS), 0);
  const double recorded = header->file_duration * 1e-7 / (1 + s.config.drift_ppm * 1e-6);
  edfclose_file(header->handle);
  std::size_t pulses = 0;
  for (double edge : s.result.truth.edges) pulses += edge < s.result.truth.t0 + recorded;

  EXPECT_NEAR(session::JsonNumber(s.json, "drift_ppm"), s.config.drift_ppm, 5) << s.json;
  // Paired with the right pulses, not shifted by whole periods.
  EXPECT_NEAR(session::JsonNumber(s.json, "offset_s"), s.result.truth.t0, 0.1) << s.json;
  EXPECT_GE(session::JsonNumber(s.json, "pairs"), pulses - 1.0) << s.json << s.result.align_output;
  EXPECT_LE(session::JsonArrayLength(s.json, "unmatched_onsets"), 1u) << s.json;
  RemoveIfPassed(s);
}

// One run serves two recordings of the same pulses: an EEG window from
// 6.25 s to 24.25 s after the first pulse (a BDF file of 18 whole seconds)
// and a marker window of 14 markers from about the 13th pulse, both inside
// a run of 31 pulses a second apart, with nothing in them but that train.
class WindowsOfARun : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    session = new Session;
    session->config.seconds = 30;
    session->config.rate = 2048;
    session->config.drift_ppm = -30;
    session->config.amplifier_from = 6.25;
    session->config.amplifier_to = 24.5;
    session->config.markers_after = 12;
    session->config.markers_count = 14;
    session->config.eeg_xdf = true;
    RunSession("windows", *session);
  }
  static void TearDownTestSuite() {
    delete session;
    session = nullptr;
  }
  void SetUp() override {
    ASSERT_FALSE(session->result.bdf.empty() || session->result.truth.edges.empty())
        << "the session did not record";
  }
  static Session *session;
};

Session *WindowsOfARun::session = nullptr;

// A train of equal intervals matches itself shifted by whole periods, and
// neither recording holds the run's start or end: the pulses cannot tell
// which shift is right, and the tool says so instead of picking one.
TEST_F(WindowsOfARun, PulsesAloneLeaveThePairingAmbiguous) {
  const Session &s = *session;
  // The windows overlap partially: the EEG starts first, the markers end last.
  ASSERT_EQ(s.result.marker_times.size(), 14u);
  EXPECT_GT(s.result.marker_times.front(), s.result.truth.t0 + 3);
  EXPECT_GT(s.result.marker_times.back(), s.result.truth.edges.back() + 0.5);

  // A busy machine delays some of the program's pulses by milliseconds, and
  // both recordings show such a late pulse: a pattern they share, which
  // then decides, and must decide right.
  if (session::JsonValue(s.json, "decided_by") == "\"a shared pattern\"") {
    EXPECT_EQ(s.result.align_status, 0) << s.result.align_output;
    ExpectOffsetWithinItsInterval(s);
    return;
  }
  EXPECT_EQ(s.result.align_status, 3) << s.result.align_output;
  EXPECT_EQ(session::JsonValue(s.json, "status"), "\"ambiguous\"") << s.json;
  const std::vector<double> offsets =
      session::JsonNumbers(session::JsonValue(s.json, "candidates"), "offset_s");
  EXPECT_GE(offsets.size(), 2u) << s.json;
  std::size_t true_ones = 0;
  for (double offset : offsets) true_ones += std::fabs(offset - s.result.truth.t0) < kSameOffset;
  EXPECT_EQ(true_ones, 1u) << "the true offset " << std::to_string(s.result.truth.t0)
                           << " is one of the candidates: " << s.json;
}

// The same recordings with the EEG recorded through LSL, in one XDF file
// with the markers: one clock puts every onset next to its own marker.
// The EEG stream's stamps are kEegStreamLatency late; the markers give the
// true time of the first sample.
TEST_F(WindowsOfARun, OneClockDecidesThePairing) {
  const Session &s = *session;
  const std::string json_path = s.config.dir + "/one-clock.json";
  std::string output;
  EXPECT_EQ(session::Align({s.result.eeg_xdf, "--json", json_path}, output), 0) << output;
  EXPECT_NE(output.find("decided by: one clock"), std::string::npos) << output;
  const std::string json = session::ReadFile(json_path);
  EXPECT_NEAR(session::JsonNumber(json, "offset_s"), s.result.truth.t0, 0.001) << json;
}

// A wire cut while both record: the amplifier records the pulse held high
// through the cut and the program's catch-up cycle after it, the markers a
// gap, and the pulses after it come half a second later in their cycle.
// Both windows show that, which fixes the pairing, on a busy machine too:
// there the marker before the cut may come milliseconds late and the
// cycles after it be delayed.
TEST(AlignSession, ACutWireInsideBothWindowsDecidesThePairing) {
  Session s;
  s.config.seconds = 30;
  s.config.rate = 4096;
  s.config.drift_ppm = 40;
  // EEG from 4.25 s to 27.25 s after the first pulse, the markers from
  // about 3 s to 23 s, the input cut from 14.5 s to 16.5 s: several pulses
  // on either side of the cut in both, wherever the marker recorder joins.
  s.config.amplifier_from = 4.25;
  s.config.amplifier_to = 28;
  s.config.cuts = {{145000, 165000}};
  s.config.markers_after = 2;
  s.config.markers_count = 20;
  RunSession("cut-in-windows", s);
  if (HasFatalFailure()) return;
  EXPECT_EQ(s.result.align_status, 0) << s.result.align_output;
  EXPECT_NE(s.result.align_output.find("decided by: a shared pattern"), std::string::npos)
      << s.result.align_output;
  ExpectOffsetWithinItsInterval(s);
  RemoveIfPassed(s);
}

// The recording that once had every marker paired with the next pulse: a
// 3 s cut of the input at 2048 Hz, both recordings over the whole run.
TEST(AlignSession, AThreeSecondCutAt2048HzPairsEveryMarkerWithItsOwnPulse) {
  Session s;
  s.config.seconds = 30;
  s.config.rate = 2048;
  s.config.drift_ppm = 50;
  s.config.cuts = {{125000, 155000}};
  RunSession("cut-3s", s);
  if (HasFatalFailure()) return;
  EXPECT_EQ(s.result.align_status, 0) << s.result.align_output;
  ExpectOffsetWithinItsInterval(s);
  RemoveIfPassed(s);
}

}  // namespace
}  // namespace maroquint::align
