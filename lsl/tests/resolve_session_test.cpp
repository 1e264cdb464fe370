#include "core/resolve_session.h"

#include "core/protocol/discovery.h"

#include <gtest/gtest.h>

#include <string>

#include "stream_fixtures.h"
#include "transcript.h"

namespace maroquint::lsl::core {
namespace {

std::string ShortInfo(const std::string &uid) {
  StreamInfo info = test::TranscriptInfo();
  info.uid = uid;
  return ToShortXml(info);
}

TEST(ResolveSession, SixteenCopiesOfOneRecordedReplyAreOneStream) {
  const auto t01 = test::ReadTranscript("01_discovery_default_config.json");
  const auto recorded = test::TranscriptBytes(t01, "first_reply", "payload");
  ResolveSession s("session_id='default' and type='Markers'", 1, 0.0, 5.0, ResolveSettings{});
  // The recorded reply answers a query id of liblsl's choosing.
  const std::string reply = s.QueryId() + recorded.substr(recorded.find("\r\n"));
  int added = 0;
  for (int i = 0; i < test::TranscriptNumber(t01, "", "reply_count"); ++i)
    added += s.OnReply(reply, "127.0.0.1", false);
  EXPECT_EQ(added, 1);
  EXPECT_TRUE(s.Done(0.003));
  const auto r = s.Results();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].uid, "63872864-b28e-47cc-b59d-43105981592e");
  EXPECT_EQ(r[0].name, "TranscriptTest");
  EXPECT_EQ(r[0].v4address, "127.0.0.1");
  EXPECT_EQ(r[0].v6data_port, 16573);
  EXPECT_DOUBLE_EQ(r[0].created_at, 1362.336449254);
}

ResolveSession Session(int minimum, double timeout, bool peers = false, double minimum_time = 0) {
  ResolveSettings s;
  s.unicast_waves = peers;
  return ResolveSession("session_id='default'", minimum, 100.0, timeout, s, minimum_time);
}

std::string Reply(const ResolveSession &s, const std::string &uid) {
  return s.QueryId() + "\r\n" + ShortInfo(uid);
}

TEST(ResolveSession, SendsAWaveAtOnceThenEveryHalfSecond) {
  ResolveSession s = Session(1, 2.0);
  EXPECT_EQ(s.TakeDueWave(100.0), WaveKind::kMulticast);
  EXPECT_FALSE(s.TakeDueWave(100.0));
  EXPECT_DOUBLE_EQ(s.NextWakeup(), 100.5);
  EXPECT_FALSE(s.TakeDueWave(100.49));
  EXPECT_EQ(s.TakeDueWave(100.5), WaveKind::kMulticast);
  EXPECT_FALSE(s.Done(101.99));
  EXPECT_TRUE(s.Done(102.0));
}

TEST(ResolveSession, RoundTripsOfZeroStillSpaceTheWaves) {
  ResolveSettings settings;
  settings.multicast_min_rtt = 0.0;
  settings.unicast_min_rtt = 1e-300;
  settings.unicast_waves = true;
  ResolveSession s("", 0, 100.0, 1.0, settings);
  EXPECT_EQ(s.TakeDueWave(100.0), WaveKind::kMulticast);
  EXPECT_FALSE(s.TakeDueWave(100.0));
  EXPECT_EQ(s.TakeDueWave(100.015), WaveKind::kUnicast);
  EXPECT_FALSE(s.TakeDueWave(100.015));
  EXPECT_GT(s.NextWakeup(), 100.015);
}

TEST(ResolveSession, KnownPeersGetAUnicastWaveBetweenMulticastWaves) {
  ResolveSession s = Session(1, 10.0, true);
  EXPECT_EQ(s.TakeDueWave(100.0), WaveKind::kMulticast);
  EXPECT_DOUBLE_EQ(s.NextWakeup(), 100.5);
  EXPECT_EQ(s.TakeDueWave(100.5), WaveKind::kUnicast);
  EXPECT_DOUBLE_EQ(s.NextWakeup(), 101.25);
  EXPECT_FALSE(s.TakeDueWave(101.2));
  EXPECT_EQ(s.TakeDueWave(101.25), WaveKind::kMulticast);
  EXPECT_EQ(s.TakeDueWave(101.75), WaveKind::kUnicast);
}

TEST(ResolveSession, EndsWhenTheMinimumIsFoundAndKeepsOneEntryPerUid) {
  ResolveSession s = Session(2, 5.0);
  s.TakeDueWave(100.0);
  EXPECT_TRUE(s.OnReply(Reply(s, "b-uid"), "127.0.0.1", false));
  EXPECT_FALSE(s.OnReply(Reply(s, "b-uid"), "10.0.0.9", false));
  EXPECT_FALSE(s.Done(100.1));
  EXPECT_FALSE(s.OnReply("999\r\n" + ShortInfo("c-uid"), "127.0.0.1", false));
  EXPECT_TRUE(s.OnReply(Reply(s, "a-uid"), "127.0.0.2", false));
  EXPECT_TRUE(s.Done(100.1));
  const auto r = s.Results();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].uid, "a-uid");
  EXPECT_EQ(r[0].v4address, "127.0.0.2");
  EXPECT_EQ(r[1].uid, "b-uid");
  // The first address a stream answered from stays.
  EXPECT_EQ(r[1].v4address, "127.0.0.1");
  EXPECT_EQ(r[1].v6address, "");
}

TEST(ResolveSession, MinimumZeroWaitsForTheWholeTimeout) {
  ResolveSession s = Session(0, 1.0);
  s.OnReply(Reply(s, "a"), "127.0.0.1", false);
  EXPECT_FALSE(s.Done(100.9));
  EXPECT_TRUE(s.Done(101.0));
  EXPECT_EQ(s.Results().size(), 1u);
}

TEST(ResolveSession, AMinimumTimeHoldsTheEndBack) {
  ResolveSession s = Session(1, 10.0, false, 1.0);
  s.OnReply(Reply(s, "a"), "127.0.0.1", false);
  EXPECT_FALSE(s.Done(100.5));
  EXPECT_TRUE(s.Done(101.0));
}

TEST(ResolveSession, ResultsAreBounded) {
  ResolveSession s = Session(0, 1.0);
  for (std::size_t i = 0; i < kMaxResolveResults + 10; ++i)
    s.OnReply(Reply(s, "uid-" + std::to_string(i)), "127.0.0.1", false);
  EXPECT_EQ(s.Found(), kMaxResolveResults);
}

TEST(ResolveSession, SettingsComeFromTheConfiguration) {
  Config c;
  EXPECT_FALSE(ResolveSettingsFor(c).unicast_waves);
  c.known_peers = {"127.0.0.1"};
  c.multicast_min_rtt = 0.25;
  const ResolveSettings s = ResolveSettingsFor(c);
  EXPECT_TRUE(s.unicast_waves);
  EXPECT_DOUBLE_EQ(s.multicast_min_rtt, 0.25);
  EXPECT_DOUBLE_EQ(s.unicast_min_rtt, 0.75);
}

}  // namespace
}  // namespace maroquint::lsl::core
