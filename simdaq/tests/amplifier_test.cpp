// The simulated amplifier: its own clock, its Status channel following the
// wire from ao0 in true time, the recording's start and end with the tasks,
// and the BDF file it writes, read back with EDFlib.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "amplifier.h"
#include "harness.h"

#if defined(SIMDAQ_HAVE_EDFLIB)
#include <edflib.h>

#include "amplifier_file.h"
#endif

namespace {

using simdaq::Amplifier;
using simdaq::AmplifierSample;
using simdaq_test::Harness;
using simdaq_test::Nanos;

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
class FakeSink : public simdaq::AmplifierSink {
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

#if defined(SIMDAQ_HAVE_EDFLIB)
std::vector<std::string> Lines(const std::string &path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(AmplifierDriver, BdfFileReadsBackWithTheTrueOnsets) {
  const std::string bdf = testing::TempDir() + "simdaq_amplifier.bdf";
  const std::string truth = testing::TempDir() + "simdaq_amplifier.truth";
  std::remove(bdf.c_str());
  {
    simdaq::AmplifierFile file(bdf, 2048, 50, truth);
    std::string problem;
    ASSERT_TRUE(file.Open(problem)) << problem;
    Harness h("amplifier=" + bdf + ";amplifier_drift=50", nullptr, &file);
    h.clock.now = 123456789012345;
    ASSERT_EQ(h.Open(), 0);
    Run(h, 35000);  // 3.5 s: three whole data records, the half second is left out
    ASSERT_EQ(h.driver.ClearTask(h.out), 0);
    ASSERT_EQ(h.driver.ClearTask(h.in), 0);
  }

  // The truth: t0 on the steady clock in seconds, the clock, the edges.
  const std::vector<std::string> lines = Lines(truth);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[1], "t0 123456.789012345");
  EXPECT_EQ(lines[2], "rate 2048");
  EXPECT_EQ(lines[3], "drift_ppm 50");
  const double t0 = 123456.789012345;
  std::vector<long long> expected;
  for (std::size_t i = 4; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].substr(0, 5), "edge ");
    const double edge = std::stod(lines[i].substr(5));
    // The first sample at or after the edge, on the amplifier's clock.
    const double n = (edge - t0) * 2048 * (1 + 50e-6);
    if (n < 3 * 2048) expected.push_back(static_cast<long long>(std::ceil(n - 1e-6)));
  }
  EXPECT_EQ(expected.size(), 3u);

  edf_hdr_struct header{};
  ASSERT_EQ(edfopen_file_readonly(bdf.c_str(), &header, EDFLIB_DO_NOT_READ_ANNOTATIONS), 0)
      << header.filetype;
  EXPECT_EQ(header.filetype, EDFLIB_FILETYPE_BDFPLUS);
  EXPECT_EQ(header.datarecords_in_file, 3);
  ASSERT_EQ(header.edfsignals, 4);
  int status_signal = -1;
  for (int s = 0; s < header.edfsignals; ++s) {
    EXPECT_EQ(header.signalparam[s].smp_in_datarecord, 2048);
    EXPECT_EQ(header.signalparam[s].dig_max, 8388607);
    if (std::string(header.signalparam[s].label).rfind("Status", 0) == 0) status_signal = s;
  }
  ASSERT_EQ(status_signal, 3);
  std::vector<int> status(3 * 2048);
  ASSERT_EQ(edfread_digital_samples(header.handle, status_signal, static_cast<int>(status.size()),
                                    status.data()),
            static_cast<int>(status.size()));
  std::vector<double> eeg(3 * 2048);
  ASSERT_EQ(edfread_physical_samples(header.handle, 0, static_cast<int>(eeg.size()), eeg.data()),
            static_cast<int>(eeg.size()));
  edfclose_file(header.handle);

  std::vector<long long> onsets;
  for (std::size_t n = 0; n < status.size(); ++n) {
    EXPECT_TRUE(status[n] == 0 || status[n] == 1) << "only bit 0: " << status[n];
    if (status[n] == 1 && (n == 0 || status[n - 1] == 0))
      onsets.push_back(static_cast<long long>(n));
  }
  EXPECT_EQ(onsets, expected);
  double sum_squares = 0;
  for (double v : eeg) sum_squares += v * v;
  const double rms = std::sqrt(sum_squares / static_cast<double>(eeg.size()));
  EXPECT_GT(rms, 0.1);
  EXPECT_LT(rms, 10.0) << "low noise, in microvolts";
}
#endif

}  // namespace
