#include "stream_watch.h"

#include <gtest/gtest.h>

namespace maroquint::monitor {
namespace {

using Kind = WatchEvent::Kind;

TEST(StreamWatch, RegularMarkersNeedNoProbe) {
  StreamWatch watch(1.0, 10.0, 100.0);
  for (double t = 100.5; t < 110.0; t += 1.0) {
    EXPECT_EQ(watch.MarkerArrived(t).kind, Kind::kNone);
    EXPECT_FALSE(watch.ProbeDue(t + 0.9));
    EXPECT_EQ(watch.Check(t + 0.9).kind, Kind::kNone);
  }
  EXPECT_FALSE(watch.IsGone());
}

TEST(StreamWatch, ProbesOnceTwoPeriodsPassWithoutAMarker) {
  StreamWatch watch(0.5, 10.0, 0.0);
  watch.MarkerArrived(3.0);
  EXPECT_FALSE(watch.ProbeDue(3.99));
  EXPECT_TRUE(watch.ProbeDue(4.0));
  // The outlet is still there: reported once per silence.
  const WatchEvent silent = watch.ProbeResult(4.0, true);
  EXPECT_EQ(silent.kind, Kind::kSilent);
  EXPECT_DOUBLE_EQ(silent.silence, 1.0);
  EXPECT_FALSE(watch.ProbeDue(4.5));
  EXPECT_TRUE(watch.ProbeDue(5.0));
  EXPECT_EQ(watch.ProbeResult(5.0, true).kind, Kind::kNone);
  // A new silence is reported again.
  watch.MarkerArrived(5.2);
  EXPECT_TRUE(watch.ProbeDue(6.2));
  EXPECT_EQ(watch.ProbeResult(6.2, true).kind, Kind::kSilent);
}

TEST(StreamWatch, SilenceCountsFromTheStartWhenNoMarkerEverCame) {
  StreamWatch watch(1.0, 10.0, 50.0);
  EXPECT_FALSE(watch.ProbeDue(51.9));
  EXPECT_TRUE(watch.ProbeDue(52.0));
  const WatchEvent gone = watch.ProbeResult(52.0, false);
  EXPECT_EQ(gone.kind, Kind::kGone);
  EXPECT_DOUBLE_EQ(gone.silence, 2.0);
}

TEST(StreamWatch, GoneOutletComesBackWithinTheTimeout) {
  StreamWatch watch(1.0, 5.0, 0.0);
  watch.MarkerArrived(1.0);
  const WatchEvent gone = watch.ProbeResult(3.0, false);
  EXPECT_EQ(gone.kind, Kind::kGone);
  EXPECT_DOUBLE_EQ(gone.silence, 2.0);
  EXPECT_TRUE(watch.IsGone());
  // While gone, the outlet is looked for at every probe interval.
  EXPECT_FALSE(watch.ProbeDue(3.5));
  EXPECT_TRUE(watch.ProbeDue(4.0));
  EXPECT_EQ(watch.ProbeResult(4.0, false).kind, Kind::kNone);
  EXPECT_EQ(watch.Check(7.9).kind, Kind::kNone);
  const WatchEvent back = watch.ProbeResult(7.9, true);
  EXPECT_EQ(back.kind, Kind::kBack);
  EXPECT_DOUBLE_EQ(back.absence, 4.9);
  EXPECT_FALSE(watch.IsGone());
  EXPECT_EQ(watch.Check(100.0).kind, Kind::kNone);
}

TEST(StreamWatch, AMarkerAlsoEndsTheAbsence) {
  StreamWatch watch(1.0, 5.0, 0.0);
  EXPECT_EQ(watch.InletLost(2.0).kind, Kind::kGone);
  EXPECT_EQ(watch.InletLost(2.5).kind, Kind::kNone);
  const WatchEvent back = watch.MarkerArrived(4.0);
  EXPECT_EQ(back.kind, Kind::kBack);
  EXPECT_DOUBLE_EQ(back.absence, 2.0);
  EXPECT_EQ(watch.MarkerArrived(5.0).kind, Kind::kNone);
}

TEST(StreamWatch, LostOnceGoneForTheTimeout) {
  StreamWatch watch(1.0, 3.0, 0.0);
  watch.MarkerArrived(1.0);
  EXPECT_EQ(watch.ProbeResult(3.0, false).kind, Kind::kGone);
  EXPECT_EQ(watch.Check(5.99).kind, Kind::kNone);
  const WatchEvent lost = watch.Check(6.0);
  EXPECT_EQ(lost.kind, Kind::kLost);
  EXPECT_DOUBLE_EQ(lost.absence, 3.0);
  EXPECT_TRUE(watch.IsLost());
  // Lost is final.
  EXPECT_EQ(watch.Check(7.0).kind, Kind::kNone);
  EXPECT_FALSE(watch.ProbeDue(8.0));
  EXPECT_EQ(watch.ProbeResult(8.0, true).kind, Kind::kNone);
  EXPECT_EQ(watch.MarkerArrived(8.0).kind, Kind::kNone);
  EXPECT_TRUE(watch.IsLost());
}

TEST(StreamWatch, SilenceWithThePresentOutletIsNeverLost) {
  StreamWatch watch(1.0, 2.0, 0.0);
  for (double t = 2.0; t < 60.0; t += 1.0) {
    ASSERT_TRUE(watch.ProbeDue(t));
    watch.ProbeResult(t, true);
    EXPECT_EQ(watch.Check(t).kind, Kind::kNone);
  }
}

}  // namespace
}  // namespace maroquint::monitor
