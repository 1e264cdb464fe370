#include "core/discovery_client.h"

#include "core/query.h"

#include <gtest/gtest.h>

#include <string>

#include "consumer_transcripts.h"
#include "stream_fixtures.h"

namespace lsl::core {
namespace {

std::string ShortInfo(const std::string &uid) {
  StreamInfo info = test::transcript_info();
  info.uid = uid;
  return to_short_xml(info);
}

TEST(DiscoveryQuery, HasTheLayoutOfALiblslQuery) {
  // The id is ours to choose; everything around it is fixed.
  EXPECT_EQ(format_shortinfo_query(build_byprop_query("default", "type", "Markers"), 16575,
                                   "4311744890628545484"),
            testdata::kT02Query);
  const std::string q = "session_id='default'";
  EXPECT_EQ(make_query_id(q), make_query_id(q));
  EXPECT_NE(make_query_id(q), make_query_id(q + " and name='x'"));
  EXPECT_EQ(make_query_id(q).find_first_of(" \t\r\n"), std::string::npos);
}

TEST(DiscoveryQuery, SessionQueryMatchesLiblslsResolveAll) {
  EXPECT_EQ(format_shortinfo_query(build_session_query("default"), 16575, "11973266323178842010"),
            testdata::kT09Query);
  EXPECT_EQ(format_shortinfo_query(build_byprop_query("default", "type", "Markers"), 16575,
                                   "4311744890628545484"),
            testdata::kT01Query);
}

TEST(DiscoveryQuery, RecoveryQueryTextMatchesLiblsl) {
  EXPECT_EQ(format_shortinfo_query(build_recovery_query(test::transcript_info()), 16575,
                                   "7462361089634936606"),
            testdata::kT08RecoveryQuery);
}

TEST(DiscoveryReply, ParsesTheRecordedReply) {
  const auto info = parse_shortinfo_reply(testdata::kT02Reply, "4311744890628545484");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->name, "TranscriptTest");
  EXPECT_EQ(info->type, "Markers");
  EXPECT_EQ(info->channel_format, ChannelFormat::string);
  EXPECT_EQ(info->source_id, "transcript-source-1");
  EXPECT_EQ(info->uid, "7542c9dd-f404-4677-ad9e-42323fda7587");
  EXPECT_EQ(info->v4data_port, 16572);
  EXPECT_EQ(info->v4service_port, 16572);
  EXPECT_EQ(info->v4address, "");
}

TEST(DiscoveryReply, SixteenCopiesOfOneReplyAreOneStream) {
  ResolveSession s("session_id='default' and type='Markers'", 1, 0.0, 5.0, ResolveSettings{});
  // The recorded reply answers a query id of liblsl's choosing.
  const std::string reply =
      s.query_id() + testdata::kT01Reply.substr(testdata::kT01Reply.find("\r\n"));
  int added = 0;
  for (int i = 0; i < testdata::kT01ReplyCount; ++i) added += s.on_reply(reply, "127.0.0.1", false);
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

TEST(DiscoveryReply, IgnoresForeignIdsAndBrokenDeclarations) {
  EXPECT_FALSE(parse_shortinfo_reply(testdata::kT02Reply, "4311744890628545485"));
  EXPECT_FALSE(parse_shortinfo_reply(testdata::kT02Reply, "431174489062854548"));
  EXPECT_FALSE(parse_shortinfo_reply("42", "42"));
  EXPECT_FALSE(parse_shortinfo_reply("42\r\n<info><name>x</name>", "42"));
  EXPECT_FALSE(parse_shortinfo_reply("42\r\n" + std::string(70000, '<'), "42"));
  // A bare \n and trailing blanks after the id are tolerated.
  EXPECT_TRUE(parse_shortinfo_reply("42 \n" + ShortInfo("u1"), "42"));
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

TEST(ResolveSession, RoundTripsOfZeroStillSpaceTheWaves) {
  ResolveSettings settings;
  settings.multicast_min_rtt = 0.0;
  settings.unicast_min_rtt = 1e-300;
  settings.unicast_waves = true;
  ResolveSession s("", 0, 100.0, 1.0, settings);
  EXPECT_EQ(s.take_due_wave(100.0), WaveKind::multicast);
  EXPECT_FALSE(s.take_due_wave(100.0));
  EXPECT_EQ(s.take_due_wave(100.015), WaveKind::unicast);
  EXPECT_FALSE(s.take_due_wave(100.015));
  EXPECT_GT(s.next_wakeup(), 100.015);
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
