#include "core/resolve_session.h"

#include "core/protocol/discovery.h"

#include <gtest/gtest.h>

#include <string>

#include "stream_fixtures.h"
#include "transcript.h"

namespace lsl::core {
namespace {

std::string ShortInfo(const std::string &uid) {
  StreamInfo info = test::transcript_info();
  info.uid = uid;
  return to_short_xml(info);
}

TEST(ResolveSession, SixteenCopiesOfOneRecordedReplyAreOneStream) {
  const auto t01 = test::read_transcript("01_discovery_default_config.json");
  const auto recorded = test::transcript_bytes(t01, "first_reply", "payload");
  ResolveSession s("session_id='default' and type='Markers'", 1, 0.0, 5.0, ResolveSettings{});
  // The recorded reply answers a query id of liblsl's choosing.
  const std::string reply = s.query_id() + recorded.substr(recorded.find("\r\n"));
  int added = 0;
  for (int i = 0; i < test::transcript_number(t01, "", "reply_count"); ++i)
    added += s.on_reply(reply, "127.0.0.1", false);
  EXPECT_EQ(added, 1);
  EXPECT_TRUE(s.done(0.003));
  const auto r = s.results();
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
  return s.query_id() + "\r\n" + ShortInfo(uid);
}

TEST(ResolveSession, SendsAWaveAtOnceThenEveryHalfSecond) {
  ResolveSession s = Session(1, 2.0);
  EXPECT_EQ(s.take_due_wave(100.0), WaveKind::multicast);
  EXPECT_FALSE(s.take_due_wave(100.0));
  EXPECT_DOUBLE_EQ(s.next_wakeup(), 100.5);
  EXPECT_FALSE(s.take_due_wave(100.49));
  EXPECT_EQ(s.take_due_wave(100.5), WaveKind::multicast);
  EXPECT_FALSE(s.done(101.99));
  EXPECT_TRUE(s.done(102.0));
}

TEST(ResolveSession, KnownPeersGetAUnicastWaveBetweenMulticastWaves) {
  ResolveSession s = Session(1, 10.0, true);
  EXPECT_EQ(s.take_due_wave(100.0), WaveKind::multicast);
  EXPECT_DOUBLE_EQ(s.next_wakeup(), 100.5);
  EXPECT_EQ(s.take_due_wave(100.5), WaveKind::unicast);
  EXPECT_DOUBLE_EQ(s.next_wakeup(), 101.25);
  EXPECT_FALSE(s.take_due_wave(101.2));
  EXPECT_EQ(s.take_due_wave(101.25), WaveKind::multicast);
  EXPECT_EQ(s.take_due_wave(101.75), WaveKind::unicast);
}

TEST(ResolveSession, EndsWhenTheMinimumIsFoundAndKeepsOneEntryPerUid) {
  ResolveSession s = Session(2, 5.0);
  s.take_due_wave(100.0);
  EXPECT_TRUE(s.on_reply(Reply(s, "b-uid"), "127.0.0.1", false));
  EXPECT_FALSE(s.on_reply(Reply(s, "b-uid"), "10.0.0.9", false));
  EXPECT_FALSE(s.done(100.1));
  EXPECT_FALSE(s.on_reply("999\r\n" + ShortInfo("c-uid"), "127.0.0.1", false));
  EXPECT_TRUE(s.on_reply(Reply(s, "a-uid"), "127.0.0.2", false));
  EXPECT_TRUE(s.done(100.1));
  const auto r = s.results();
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
  s.on_reply(Reply(s, "a"), "127.0.0.1", false);
  EXPECT_FALSE(s.done(100.9));
  EXPECT_TRUE(s.done(101.0));
  EXPECT_EQ(s.results().size(), 1u);
}

TEST(ResolveSession, AMinimumTimeHoldsTheEndBack) {
  ResolveSession s = Session(1, 10.0, false, 1.0);
  s.on_reply(Reply(s, "a"), "127.0.0.1", false);
  EXPECT_FALSE(s.done(100.5));
  EXPECT_TRUE(s.done(101.0));
}

TEST(ResolveSession, ResultsAreBounded) {
  ResolveSession s = Session(0, 1.0);
  for (std::size_t i = 0; i < kMaxResolveResults + 10; ++i)
    s.on_reply(Reply(s, "uid-" + std::to_string(i)), "127.0.0.1", false);
  EXPECT_EQ(s.found(), kMaxResolveResults);
}

TEST(ResolveSession, SettingsComeFromTheConfiguration) {
  Config c;
  EXPECT_FALSE(resolve_settings(c).unicast_waves);
  c.known_peers = {"127.0.0.1"};
  c.multicast_min_rtt = 0.25;
  const ResolveSettings s = resolve_settings(c);
  EXPECT_TRUE(s.unicast_waves);
  EXPECT_DOUBLE_EQ(s.multicast_min_rtt, 0.25);
  EXPECT_DOUBLE_EQ(s.unicast_min_rtt, 0.75);
}

}  // namespace
}  // namespace lsl::core
