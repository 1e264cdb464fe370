// An inlet's recovery and watchdog in virtual time: which resolve is asked
// for when, and which stream the inlet follows after it.
#include "core/recovery_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stream_fixtures.h"

namespace maroquint::lsl::core {
namespace {

StreamInfo Instance(const std::string &uid) {
  StreamInfo info = test::TranscriptInfo();
  info.uid = uid;
  return info;
}

RecoverySettings Watchdog(double interval, double threshold) {
  RecoverySettings s;
  s.watchdog_check_interval = interval;
  s.watchdog_time_threshold = threshold;
  return s;
}

const std::string kRecoveryQuery =
    "channel_count='1' and name='TranscriptTest' and type='Markers' and "
    "source_id='transcript-source-1' and channel_format='string'";

// Connected at 100 to the transcript's stream, the watchdog out of the way.
RecoveryPolicy Following() {
  RecoveryPolicy p(Watchdog(1000.0, 1000.0));
  p.Follow(Instance("old"), 100.0);
  return p;
}

TEST(RecoveryPolicy, ALostConnectionIsLookedForHalfASecondLater) {
  RecoveryPolicy p = Following();
  EXPECT_FALSE(p.TakeDueLookup(200.0, true));
  p.ConnectionLost(200.0);
  EXPECT_DOUBLE_EQ(p.NextWakeup(), 200.5);
  EXPECT_FALSE(p.TakeDueLookup(200.49, false));
  const auto lookup = p.TakeDueLookup(200.5, false);
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->kind, Lookup::Kind::kRecovery);
  EXPECT_EQ(lookup->query, kRecoveryQuery);
  EXPECT_EQ(lookup->minimum, 1);
  EXPECT_GE(lookup->timeout, 1e7) << "a recovery looks until it finds the stream";
  EXPECT_FALSE(p.TakeDueLookup(200.5, false)) << "handed out once";
}

// What a finished lookup's streams make the inlet follow: the stream it
// followed if that is among them, else the one other instance of its
// source, else nothing (it looks again); a probe whose connection broke
// meanwhile leaves it to the recovery.
TEST(RecoveryPolicy, ALookupsStreamsPickTheStreamToFollow) {
  struct Case {
    bool probe;  // else a recovery
    bool connected;
    std::vector<std::string> found;
    std::string next;  // empty: none
  };
  const Case cases[] = {
      {false, false, {"a", "old", "b"}, "old"},
      {false, false, {"restarted"}, "restarted"},
      {false, false, {}, ""},
      {false, false, {"a", "b"}, ""},
      {true, true, {"replacement"}, "replacement"},
      {true, true, {"old"}, ""},
      {true, true, {}, ""},
      {true, true, {"a", "b"}, ""},
      {true, false, {"a"}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(&c - cases);
    RecoveryPolicy p(Watchdog(0.2, 0.2));
    p.Follow(Instance("old"), 100.0);
    if (!c.probe) p.ConnectionLost(100.1);
    const auto lookup = p.TakeDueLookup(c.probe ? 100.2 : 100.6, c.probe);
    ASSERT_TRUE(lookup);
    EXPECT_EQ(lookup->kind, c.probe ? Lookup::Kind::kWatchdogProbe : Lookup::Kind::kRecovery);
    std::vector<StreamInfo> found;
    for (const std::string &uid : c.found) found.push_back(Instance(uid));
    const auto next = p.OnLookupDone(lookup->id, found, c.connected, 101.0);
    EXPECT_EQ(next ? next->uid : "", c.next);
  }
}

TEST(RecoveryPolicy, NoneOrSeveralOthersMeanLookingAgainAfterAPause) {
  RecoveryPolicy p = Following();
  p.ConnectionLost(200.0);
  auto lookup = p.TakeDueLookup(200.5, false);
  ASSERT_TRUE(lookup);
  EXPECT_FALSE(p.OnLookupDone(lookup->id, {}, false, 203.0));
  EXPECT_DOUBLE_EQ(p.NextWakeup(), 203.5);
  lookup = p.TakeDueLookup(203.5, false);
  ASSERT_TRUE(lookup);
  EXPECT_FALSE(p.OnLookupDone(lookup->id, {Instance("a"), Instance("b")}, false, 204.0));
  EXPECT_DOUBLE_EQ(p.NextWakeup(), 204.5);
  lookup = p.TakeDueLookup(204.5, false);
  ASSERT_TRUE(lookup);
  EXPECT_EQ(lookup->kind, Lookup::Kind::kRecovery);
}

TEST(RecoveryPolicy, StopEndsARecoveryAndItsLateResult) {
  RecoveryPolicy p = Following();
  p.ConnectionLost(200.0);
  const auto lookup = p.TakeDueLookup(200.5, false);
  ASSERT_TRUE(lookup);
  p.Stop();
  EXPECT_FALSE(p.OnLookupDone(lookup->id, {Instance("old")}, false, 201.0));
  EXPECT_FALSE(p.OnLookupDone(lookup->id, {}, false, 201.0));
  EXPECT_FALSE(p.TakeDueLookup(300.0, false)) << "no retry after a stop";

  p.ConnectionLost(400.0);
  p.Stop();
  EXPECT_FALSE(p.TakeDueLookup(401.0, false)) << "a pending retry ends too";
}

TEST(RecoveryPolicy, TheWatchdogStartsWithTheFirstStreamFollowed) {
  RecoveryPolicy p(Watchdog(15.0, 15.0));
  EXPECT_EQ(p.NextWakeup(), RecoveryPolicy::kForever);
  EXPECT_FALSE(p.TakeDueLookup(1e6, true));
  p.Follow(Instance("old"), 100.0);
  EXPECT_DOUBLE_EQ(p.NextWakeup(), 115.0);
  p.Follow(Instance("other"), 110.0);
  EXPECT_DOUBLE_EQ(p.NextWakeup(), 115.0) << "following another stream keeps the schedule";
}

TEST(RecoveryPolicy, AnActiveConnectionIsNeverProbed) {
  RecoveryPolicy p(Watchdog(15.0, 15.0));
  p.Follow(Instance("old"), 100.0);
  for (double t = 100.0; t < 200.0; t += 5.0) {
    p.Activity(t);
    EXPECT_FALSE(p.TakeDueLookup(t, true)) << t;
  }
}

TEST(RecoveryPolicy, ASilentConnectionIsProbedAtTheChecksPastTheThreshold) {
  RecoveryPolicy p(Watchdog(15.0, 20.0));
  p.Follow(Instance("old"), 100.0);
  EXPECT_FALSE(p.TakeDueLookup(115.0, true)) << "silent for 15 s only";
  EXPECT_DOUBLE_EQ(p.NextWakeup(), 130.0);
  const auto probe = p.TakeDueLookup(130.0, true);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->kind, Lookup::Kind::kWatchdogProbe);
  EXPECT_EQ(probe->query, kRecoveryQuery);
  EXPECT_EQ(probe->minimum, 0) << "every stream that answers";
  EXPECT_DOUBLE_EQ(probe->timeout, 1.0) << "two query waves";
}

TEST(RecoveryPolicy, AQuietStreamThatStillAnswersIsKept) {
  RecoveryPolicy p(Watchdog(0.2, 0.2));
  p.Follow(Instance("old"), 100.0);
  double t = 100.0;
  for (int i = 0; i < 3; ++i) {
    t = p.NextWakeup();
    const auto probe = p.TakeDueLookup(t, true);
    ASSERT_TRUE(probe) << i;
    EXPECT_FALSE(p.TakeDueLookup(p.NextWakeup(), true)) << "one probe at a time";
    EXPECT_FALSE(p.OnLookupDone(probe->id, {Instance("old")}, true, p.NextWakeup()));
    EXPECT_EQ(p.Followed().uid, "old");
  }
}

TEST(RecoveryPolicy, NoProbeWhileDisconnectedOrRecovering) {
  RecoveryPolicy p(Watchdog(0.2, 0.2));
  p.Follow(Instance("old"), 100.0);
  EXPECT_FALSE(p.TakeDueLookup(100.2, false));
  p.ConnectionLost(100.3);
  const auto recovery = p.TakeDueLookup(100.8, false);
  ASSERT_TRUE(recovery);
  EXPECT_EQ(recovery->kind, Lookup::Kind::kRecovery);
  EXPECT_FALSE(p.TakeDueLookup(101.0, true)) << "a recovery is under way";
  EXPECT_FALSE(p.TakeDueLookup(101.2, true));
  const auto next = p.OnLookupDone(recovery->id, {Instance("old")}, false, 101.3);
  ASSERT_TRUE(next);
  p.Follow(*next, 101.3);
  EXPECT_FALSE(p.TakeDueLookup(101.4, true)) << "just followed";
  EXPECT_TRUE(p.TakeDueLookup(p.NextWakeup(), true));
}

TEST(RecoveryPolicy, StopEndsAProbeAndItsLateResult) {
  RecoveryPolicy p(Watchdog(0.2, 0.2));
  p.Follow(Instance("old"), 100.0);
  const auto probe = p.TakeDueLookup(100.2, true);
  ASSERT_TRUE(probe);
  p.Stop();
  EXPECT_FALSE(p.OnLookupDone(probe->id, {Instance("replacement")}, true, 101.0));
  EXPECT_TRUE(p.TakeDueLookup(p.NextWakeup(), true)) << "the watchdog goes on";
}

TEST(RecoveryPolicy, ChecksAreSpacedEvenWithAnIntervalOfZero) {
  RecoveryPolicy p(Watchdog(0.0, 0.0));
  p.Follow(Instance("old"), 100.0);
  EXPECT_DOUBLE_EQ(p.NextWakeup(), 100.0 + RecoveryPolicy::kMinCheckInterval);
  ASSERT_TRUE(p.TakeDueLookup(p.NextWakeup(), true));
  EXPECT_GT(p.NextWakeup(), 100.0 + RecoveryPolicy::kMinCheckInterval);
}

TEST(RecoveryPolicy, SettingsComeFromTheConfiguration) {
  Config config;
  config.watchdog_check_interval = 3.0;
  config.watchdog_time_threshold = 4.0;
  config.multicast_min_rtt = 0.25;
  const RecoverySettings s = RecoverySettingsFor(config);
  EXPECT_EQ(s.watchdog_check_interval, 3.0);
  EXPECT_EQ(s.watchdog_time_threshold, 4.0);
  EXPECT_EQ(s.multicast_min_rtt, 0.25);
}

}  // namespace
}  // namespace maroquint::lsl::core
