// A simulated hour of the program with a consumer connected from before the
// first marker: every marker arrives, in order, and the program's memory
// stays put; a consumer stopped all through the run loses nothing either.
#include <gtest/gtest.h>

#include "soak.h"

namespace {

using maroquint::harness::RunSoak;
using maroquint::harness::SoakOptions;
using maroquint::harness::SoakResult;

constexpr long kHour = 3600;
constexpr long kMaxGrowthKib = 1024;

SoakOptions Hour() {
  SoakOptions o;
  o.program = MAROQUINT_PROGRAM;
  o.cycles = kHour;
  return o;
}

TEST(Soak, SimulatedHourLosesNothing) {
  const SoakResult r = RunSoak(Hour());
  ASSERT_TRUE(r.Ok()) << r.Message();
  EXPECT_EQ(r->pushed, kHour);
  EXPECT_EQ(r->received, kHour);
  EXPECT_EQ(r->out_of_order, 0);
  EXPECT_GT(r->rss_start_kib, 0);
  EXPECT_LT(r->rss_end_kib - r->rss_start_kib, kMaxGrowthKib)
      << r->rss_start_kib << " KiB at the start, " << r->rss_end_kib << " KiB at the end";
}

TEST(Soak, ConsumerStoppedThroughTheHourLosesNothing) {
  SoakOptions o = Hour();
  o.pause_whole_run = true;
  const SoakResult r = RunSoak(o);
  ASSERT_TRUE(r.Ok()) << r.Message();
  EXPECT_EQ(r->received, kHour);
  EXPECT_EQ(r->out_of_order, 0);
}

}  // namespace
