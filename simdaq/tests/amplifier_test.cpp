// The simulated amplifier: its own clock, its Status channel following the
// wire from ao0 in true time, the recording's start and end with the tasks,
// and the BDF file it writes, read back with EDFlib.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "amplifier.h"
#include "harness.h"

#if defined(SIMDAQ_HAVE_EDFLIB)
#include "amplifier_file.h"
#include "bdf_check.h"
#endif

namespace {

using maroquint::simdaq::Amplifier;
using maroquint::simdaq::AmplifierSample;
using maroquint::simdaq::test::Harness;
using maroquint::simdaq::test::Nanos;

constexpr Nanos kSecond = 1000000000;

TEST(Amplifier, SamplesOnItsOwnDriftingClock) {
  Amplifier fast(2048, 100, 1);  // 100 ppm fast: its second is 1/1.0001 of a true one
  fast.Start(5 * kSecond);
  EXPECT_EQ(fast.SampleTime(0), 5 * kSecond);
  EXPECT_EQ(fast.SampleTime(2048), 5 * kSecond + std::llround(1e9 / 1.0001));
  AmplifierSample s;
  int taken = 0;
  while (fast.Next(6 * kSecond, s)) ++taken;
  EXPECT_EQ(taken, 2049) << "samples 0 to 2048 come before one true second is over";
}

TEST(Amplifier, StatusBitZeroFollowsTheWireAtItsSampleTimes) {
  Amplifier a(1000, 0, 1);
  EXPECT_FALSE(a.SetLevel(0, 5.0)) << "no edge before the recording starts";
  a.Start(kSecond);
  EXPECT_FALSE(a.SetLevel(kSecond + 2500000, 0.0));
  EXPECT_FALSE(a.SetLevel(kSecond + 2600000, 2.4));
  EXPECT_TRUE(a.SetLevel(kSecond + 5000000, 2.5)) << "2.5 V is high";
  EXPECT_FALSE(a.SetLevel(kSecond + 5500000, 10.0)) << "still high: no second edge";
  EXPECT_FALSE(a.SetLevel(kSecond + 7000000, -1.0));
  std::vector<int> status;
  AmplifierSample s;
  while (a.Next(kSecond + 10000000, s)) {
    status.push_back(s.status);
    for (double eeg : s.eeg) EXPECT_LT(std::fabs(eeg), 10.0) << "low noise, in microvolts";
  }
  EXPECT_EQ(status, (std::vector<int>{1, 1, 1, 0, 0, 1, 1, 0, 0, 0}));
}

// Records what the driver hands to the file.
class FakeSink : public maroquint::simdaq::AmplifierSink {
 public:
  void Begin(Nanos when) override { t0 = when; }
  void Write(const AmplifierSample &sample) override { status.push_back(sample.status); }
  void RisingEdge(Nanos when) override { edges.push_back(when); }
  void End() override { ++ends; }
  Nanos t0 = -1;
  std::vector<int> status;
  std::vector<Nanos> edges;
  int ends = 0;
};

// The program's pulse: 30 samples at 5 V every 10000, starting at sample 1.
double PulseLevel(long k) {
  return k % 10000 >= 1 && k % 10000 <= 30 ? 5.0 : 0.0;
}

class AmplifierDriver : public testing::Test {
 protected:
  void Run(Harness &h, long samples) {
    for (long k = 0; k < samples; ++k) {
      double v = 0;
      ASSERT_EQ(h.Write(PulseLevel(k)), 0);
      ASSERT_EQ(h.Read(v), 0);
    }
  }
};

TEST_F(AmplifierDriver, RecordsFromTheInputStartUntilTheTasksAreCleared) {
  FakeSink sink;
  Harness h("amplifier=unused.bdf;amplifier_rate=1000", nullptr, &sink);
  ASSERT_EQ(h.Open(), 0);
  const Nanos start = h.clock.now;
  EXPECT_EQ(sink.t0, start);
  Run(h, 25000);
  // Each write is latched at the next tick of the output clock: write k at tick k.
  ASSERT_EQ(sink.edges.size(), 3u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(sink.edges[static_cast<std::size_t>(i)], start + (10000 * i + 2) * 100000);
  ASSERT_EQ(h.driver.ClearTask(h.out), 0);
  EXPECT_EQ(sink.ends, 0);
  ASSERT_EQ(h.driver.ClearTask(h.in), 0);
  EXPECT_EQ(sink.ends, 1);
  // 2.5 s at 1 kHz; the pulses (3 ms) rise 0.2 ms after each whole second.
  ASSERT_EQ(sink.status.size(), 2500u);
  std::vector<std::size_t> onsets;
  for (std::size_t n = 1; n < sink.status.size(); ++n)
    if (sink.status[n] == 1 && sink.status[n - 1] == 0) onsets.push_back(n);
  EXPECT_EQ(onsets, (std::vector<std::size_t>{1, 1001, 2001}));

  // A second start records nothing more.
  ASSERT_EQ(h.Open(), 0);
  Run(h, 100);
  EXPECT_EQ(sink.status.size(), 2500u);
}

// A recording made while the program had been running for a while, and
// stopped before it ends: the file starts with the sample taken at
// amplifier_start and holds the rising edges of its window only.
TEST_F(AmplifierDriver, RecordsAWindowOfTheRun) {
  FakeSink sink;
  Harness h("amplifier=unused.bdf;amplifier_rate=1000;amplifier_start=0.5;amplifier_stop=2.2",
            nullptr, &sink);
  ASSERT_EQ(h.Open(), 0);
  const Nanos start = h.clock.now;
  EXPECT_EQ(sink.t0, -1) << "nothing begins before the window";
  Run(h, 25000);
  EXPECT_EQ(sink.t0, start + kSecond / 2);
  EXPECT_EQ(sink.ends, 1) << "the window ended while the tasks ran";
  // Of the rises 0.2 ms after each whole second, those of 1 s and 2 s.
  EXPECT_EQ(sink.edges, (std::vector<Nanos>{start + 10002 * 100000, start + 20002 * 100000}));
  ASSERT_EQ(sink.status.size(), 1700u) << "1.7 s at 1 kHz";
  std::vector<std::size_t> onsets;
  for (std::size_t n = 1; n < sink.status.size(); ++n)
    if (sink.status[n] == 1 && sink.status[n - 1] == 0) onsets.push_back(n);
  EXPECT_EQ(onsets, (std::vector<std::size_t>{501, 1501}));
  ASSERT_EQ(h.driver.ClearTask(h.out), 0);
  ASSERT_EQ(h.driver.ClearTask(h.in), 0);
  EXPECT_EQ(sink.ends, 1);
}

TEST_F(AmplifierDriver, AWindowThatStartsInAPulseHasNoEdgeThere) {
  FakeSink sink;
  Harness h("amplifier=unused.bdf;amplifier_rate=1000;amplifier_start=1.001;amplifier_stop=1.5",
            nullptr, &sink);
  ASSERT_EQ(h.Open(), 0);
  Run(h, 16000);
  ASSERT_EQ(sink.status.size(), 499u);
  EXPECT_EQ(sink.status[0], 1) << "the pulse of 1 s is high at the first sample";
  EXPECT_EQ(sink.status[3], 0);
  EXPECT_TRUE(sink.edges.empty());
}

// However late the caller is scheduled, the wire keeps to it: a rise is on
// the wire by the time the read that shows it returns, and each write-read
// step takes a tick, so the program's 30-step pulse lasts 30 ticks or more.
TEST_F(AmplifierDriver, TheWireKeepsToALateCaller) {
  constexpr Nanos kPeriod = 100000;
  constexpr double kRate = 65536;
  FakeSink sink;
  Harness h("amplifier=unused.bdf;amplifier_rate=65536", nullptr, &sink);
  ASSERT_EQ(h.Open(), 0);
  const Nanos stalls[] = {0, 0, 0, kPeriod / 3, 5 * kPeriod / 2, 40 * kPeriod};
  std::uint64_t random = 7;
  auto stall = [&] {
    random = random * 6364136223846793005u + 1442695040888963407u;
    return stalls[(random >> 33) % 6];
  };
  std::vector<Nanos> shown;  // when the first read showing each pulse returned
  bool high = false;
  for (long k = 0; k < 20000; ++k) {
    h.clock.now += stall();
    ASSERT_EQ(h.Write(k % 1000 >= 1 && k % 1000 <= 30 ? 5.0 : 0.0), 0);
    if (k % 7 == 0) h.clock.now += stall();
    double v = 0;
    ASSERT_EQ(h.Read(v), 0);
    if (v > 2.5 && !high) shown.push_back(h.clock.now);
    high = v > 2.5;
  }
  ASSERT_EQ(h.driver.ClearTask(h.out), 0);
  ASSERT_EQ(h.driver.ClearTask(h.in), 0);
  ASSERT_EQ(shown.size(), 20u);
  ASSERT_EQ(sink.edges.size(), shown.size());
  for (std::size_t i = 0; i < shown.size(); ++i) EXPECT_LE(sink.edges[i], shown[i]) << i;
  std::vector<long> widths;
  long run = 0;
  for (int status : sink.status) {
    if (status == 0 && run > 0) widths.push_back(run);
    run = status == 1 ? run + 1 : 0;
  }
  ASSERT_EQ(widths.size(), 20u);
  for (long width : widths) EXPECT_GE(width, static_cast<long>(30 * kPeriod * kRate / 1e9));
}

// The program stamps a marker when the read that shows the rise returns, so
// the file is never written from the rise until the wire is low again,
// unless it stays high for a second.
TEST_F(AmplifierDriver, TheFileWaitsWhileTheWireIsHigh) {
  FakeSink sink;
  Harness h("amplifier=unused.bdf;amplifier_rate=1000;hold=2", nullptr, &sink);
  ASSERT_EQ(h.Open(), 0);
  double v = 0;
  ASSERT_EQ(h.Write(5.0), 0);
  const std::size_t before_rise = sink.status.size();
  EXPECT_GE(before_rise, 2000u) << "the hold's samples come before the rise";
  h.clock.now += kSecond / 2;
  ASSERT_EQ(h.Read(v), 0);
  ASSERT_GT(v, 2.5);
  EXPECT_EQ(sink.status.size(), before_rise);
  EXPECT_TRUE(sink.edges.empty());

  ASSERT_EQ(h.Write(0.0), 0);
  EXPECT_GE(sink.status.size(), before_rise + 500);
  EXPECT_EQ(sink.edges.size(), 1u);

  ASSERT_EQ(h.Write(5.0), 0);
  const std::size_t held = sink.status.size();
  h.clock.now += 3 * kSecond / 2;
  ASSERT_EQ(h.Read(v), 0);
  EXPECT_GE(sink.status.size(), held + 1500) << "a wire held high is still recorded";
}

#if defined(SIMDAQ_HAVE_EDFLIB)
TEST_F(AmplifierDriver, BdfFileReadsBackWithTheTrueOnsets) {
  const std::string bdf = testing::TempDir() + "simdaq_amplifier.bdf";
  const std::string truth_path = testing::TempDir() + "simdaq_amplifier.truth";
  std::remove(bdf.c_str());
  {
    maroquint::simdaq::AmplifierFile file(bdf, 2048, 50, truth_path);
    std::string problem;
    ASSERT_TRUE(file.Open(problem)) << problem;
    Harness h("amplifier=" + bdf + ";amplifier_drift=50", nullptr, &file);
    h.clock.now = 123456789012345;
    ASSERT_EQ(h.Open(), 0);
    Run(h, 35000);  // 3.5 s: three whole data records, the half second is left out
    ASSERT_EQ(h.driver.ClearTask(h.out), 0);
    ASSERT_EQ(h.driver.ClearTask(h.in), 0);
  }

  const maroquint::simdaq::test::Truth truth = maroquint::simdaq::test::ReadTruth(truth_path);
  EXPECT_EQ(truth.t0, 123456.789012345);
  EXPECT_EQ(truth.rate, 2048);
  EXPECT_EQ(truth.drift_ppm, 50);
  EXPECT_EQ(truth.edges.size(), 4u);
  const maroquint::simdaq::test::BdfStatus bdf_status = maroquint::simdaq::test::ReadBdfStatus(bdf);
  EXPECT_EQ(bdf_status.records, 3);
  EXPECT_EQ(bdf_status.rate, 2048);
  EXPECT_TRUE(bdf_status.only_bit_zero);
  const std::vector<long long> expected = maroquint::simdaq::test::ExpectedOnsets(truth, 3 * 2048);
  EXPECT_EQ(expected.size(), 3u);
  EXPECT_EQ(bdf_status.onsets, expected);
  EXPECT_GT(bdf_status.eeg_rms, 0.1);
  EXPECT_LT(bdf_status.eeg_rms, 10.0) << "low noise, in microvolts";
}
#endif

}  // namespace
