// What ai0 reads of the level ao0 drives, for each wire.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "harness.h"

namespace {

using maroquint::simdaq::test::Harness;

std::vector<double> Pulse() {
  return {5, 5, 5, 0, 0, 0, 0, 0, 5, 5};
}

// What ai0 reads, by the wire's setting, for the levels driven on ao0.
TEST(Wire, ReadsWhatTheSettingMakesOfTheDrivenLevels) {
  struct Case {
    const char *settings;
    std::vector<double> levels;
    std::vector<double> readings;
  };
  const Case cases[] = {
      {"wire=connected", Pulse(), Pulse()},
      {"delay=2", Pulse(), {0, 0, 5, 5, 5, 0, 0, 0, 0, 0}},
      {"wire=disconnected", Pulse(), std::vector<double>(10, 0.0)},
      {"wire=stuck:2.5", Pulse(), std::vector<double>(10, 2.5)},
      {"wire=stuck:12", {0}, {10.0}},  // clipped to the range
      {"cut=2-4;cut=6-7", std::vector<double>(8, 5.0), {5, 5, 0, 0, 5, 5, 0, 5}},
  };
  for (const Case &c : cases) {
    Harness h(std::string("clock=virtual;") + c.settings);
    ASSERT_EQ(h.Open(), 0) << c.settings;
    EXPECT_EQ(h.Steps(c.levels), c.readings) << c.settings;
  }
}

TEST(Wire, LowpassApproachesTheLevelWithItsTimeConstant) {
  Harness h("clock=virtual;lowpass=0.001");  // ten samples at 10 kHz
  ASSERT_EQ(h.Open(), 0);
  const auto r = h.Steps(std::vector<double>(30, 5.0));
  const double alpha = 1.0 - std::exp(-0.1);
  EXPECT_NEAR(r[0], 5.0 * alpha, 1e-12);
  EXPECT_NEAR(r[9], 5.0 * (1.0 - std::exp(-1.0)), 1e-9) << "63 % after one time constant";
  for (std::size_t i = 1; i < r.size(); ++i) EXPECT_GT(r[i], r[i - 1]);
  EXPECT_LT(r.back(), 5.0);
}

TEST(Wire, NoiseIsSeededAndReproducible) {
  std::vector<double> runs[3];
  const char *settings[3] = {"clock=virtual;noise=0.1;seed=7", "clock=virtual;noise=0.1;seed=7",
                             "clock=virtual;noise=0.1;seed=8"};
  for (int i = 0; i < 3; ++i) {
    Harness h(settings[i]);
    ASSERT_EQ(h.Open(), 0);
    runs[i] = h.Steps(std::vector<double>(2000, 2.0));
  }
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_NE(runs[0], runs[2]);
  double sum = 0, squares = 0;
  for (double v : runs[0]) {
    sum += v - 2.0;
    squares += (v - 2.0) * (v - 2.0);
  }
  EXPECT_NEAR(sum / 2000, 0.0, 0.01);
  EXPECT_NEAR(std::sqrt(squares / 2000), 0.1, 0.01);
}

TEST(Wire, RestartingTheInputRestartsTheNoise) {
  Harness h("clock=virtual;noise=0.5;seed=3");
  ASSERT_EQ(h.Open(), 0);
  const auto first = h.Steps({1, 1, 1});
  ASSERT_EQ(h.driver.StopTask(h.in), 0);
  ASSERT_EQ(h.driver.StartTask(h.in), 0);
  EXPECT_EQ(h.Steps({1, 1, 1}), first);
}

TEST(Wire, ScriptGivesExactReadingsThenConnects) {
  Harness h("clock=virtual;wire=script:0,2.4999999,2.5,nan,-3;noise=0.2");
  ASSERT_EQ(h.Open(), 0);
  const auto r = h.Steps({5, 5, 5, 5, 5, 1});
  EXPECT_EQ(r[0], 0.0);
  EXPECT_EQ(r[1], 2.4999999);
  EXPECT_EQ(r[2], 2.5);
  EXPECT_TRUE(std::isnan(r[3]));
  EXPECT_EQ(r[4], -3.0);
  EXPECT_NE(r[5], 1.0) << "after the script the wire is connected, noise included";
  EXPECT_NEAR(r[5], 1.0, 1.5);
}

TEST(Wire, OutputLevelOutlivesTheOutputTask) {
  Harness h("clock=virtual");
  ASSERT_EQ(h.Open(), 0);
  EXPECT_EQ(h.Step(4), 4);
  ASSERT_EQ(h.driver.ClearTask(h.out), 0);
  double v = 0;
  ASSERT_EQ(h.Read(v), 0);
  EXPECT_EQ(v, 4.0);
}

}  // namespace
