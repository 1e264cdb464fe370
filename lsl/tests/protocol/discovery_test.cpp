#include "core/protocol/discovery.h"

#include "core/protocol/constants.h"
#include "core/query.h"
#include "core/stream_info.h"

#include "round_trip.h"
#include "stream_fixtures.h"
#include "transcript.h"

#include <gtest/gtest.h>

namespace maroquint::lsl::core {
namespace {

using test::TranscriptInfo;

// What the outlet answers to a datagram on a discovery socket: the reply,
// or nothing.
std::optional<std::string> AnswerDiscovery(const std::string &datagram) {
  if (ClassifyDatagram(datagram) != DatagramKind::kShortinfo) return std::nullopt;
  auto request = ParseShortinfoQuery(datagram);
  if (!request || !Query::Compile(request->query).Matches(TranscriptInfo())) return std::nullopt;
  return FormatShortinfoReply(request->query_id, ToShortXml(TranscriptInfo()));
}

TEST(DiscoveryReplay, Transcript01ResolverQueryGetsTheExactReply) {
  auto t01 = test::ReadTranscript("01_discovery_default_config.json");
  auto query = test::TranscriptBytes(t01, "\"queries\"", "payload");
  auto request = ParseShortinfoQuery(query);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->query, "session_id='default' and type='Markers'");
  EXPECT_EQ(request->reply_port, 16575);
  EXPECT_EQ(request->query_id, "4311744890628545484");
  EXPECT_EQ(FormatShortinfoQuery(*request), query);
  auto reply = AnswerDiscovery(query);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, test::TranscriptBytes(t01, "first_reply", "payload"));
  EXPECT_EQ(reply->size(), 676u);
}

TEST(DiscoveryReplay, Transcript01HandMadeQueries) {
  auto t01 = test::ReadTranscript("01_discovery_default_config.json");
  struct Case {
    const char *exchange;
    std::size_t reply_len;  // 0 = silence
  };
  for (auto c : {Case{"udp_discovery_query", 661}, Case{"udp_discovery_nomatch", 0},
                 Case{"udp_discovery_empty_query", 661}, Case{"udp_discovery_xpath", 661},
                 Case{"udp_service_shortinfo", 659}}) {
    auto sent = test::TranscriptBytes(t01, c.exchange, "sent");
    auto reply = AnswerDiscovery(sent);
    if (c.reply_len == 0) {
      EXPECT_FALSE(reply) << c.exchange;
      continue;
    }
    ASSERT_TRUE(reply) << c.exchange;
    EXPECT_EQ(reply->size(), c.reply_len) << c.exchange;
    auto received = test::TranscriptBytes(t01, c.exchange, "received");
    EXPECT_EQ(reply->substr(0, reply->find("\r\n") + 2),
              received.substr(0, received.find("\r\n") + 2));
  }
}

TEST(DiscoveryReplay, Transcript02MachineScopeQuery) {
  auto t02 = test::ReadTranscript("02_discovery_machine_scope.json");
  auto reply = AnswerDiscovery(test::TranscriptBytes(t02, "\"queries\"", "payload"));
  ASSERT_TRUE(reply);
  auto expected = test::TranscriptBytes(t02, "first_reply", "payload");
  EXPECT_EQ(reply->substr(0, 21), expected.substr(0, 21));
  EXPECT_EQ(reply->size(), expected.size());
}

TEST(DiscoveryReplay, OurQueriesHaveTheLayoutOfLiblsls) {
  // The id is ours to choose; everything around it is fixed.
  auto t01 = test::ReadTranscript("01_discovery_default_config.json");
  EXPECT_EQ(FormatShortinfoQuery(
                {BuildBypropQuery("default", "type", "Markers"), 16575, "4311744890628545484"}),
            test::TranscriptBytes(t01, "\"queries\"", "payload"));
  auto t09 = test::ReadTranscript("09_continuous_resolver.json");
  EXPECT_EQ(FormatShortinfoQuery({BuildSessionQuery("default"), 16575, "11973266323178842010"}),
            test::TranscriptBytes(t09, "", "payload"));
  auto t08 = test::ReadTranscript("08_idle_watchdog_and_outlet_exit.json");
  EXPECT_EQ(
      FormatShortinfoQuery({BuildRecoveryQuery(TranscriptInfo()), 16575, "7462361089634936606"}),
      test::TranscriptBytes(t08, "\"len\": 170", "payload"));
  const std::string q = "session_id='default'";
  EXPECT_EQ(MakeQueryId(q), MakeQueryId(q));
  EXPECT_NE(MakeQueryId(q), MakeQueryId(q + " and name='x'"));
  EXPECT_EQ(MakeQueryId(q).find_first_of(" \t\r\n"), std::string::npos);
}

TEST(DiscoveryReplay, ParsesTheRecordedReply) {
  auto t02 = test::ReadTranscript("02_discovery_machine_scope.json");
  const auto reply = test::TranscriptBytes(t02, "first_reply", "payload");
  const auto info = ParseShortinfoReply(reply, "4311744890628545484");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->name, "TranscriptTest");
  EXPECT_EQ(info->type, "Markers");
  EXPECT_EQ(info->channel_format, ChannelFormat::kString);
  EXPECT_EQ(info->source_id, "transcript-source-1");
  EXPECT_EQ(info->uid, "7542c9dd-f404-4677-ad9e-42323fda7587");
  EXPECT_EQ(info->v4data_port, 16572);
  EXPECT_EQ(info->v4service_port, 16572);
  EXPECT_EQ(info->v4address, "");
  EXPECT_FALSE(ParseShortinfoReply(reply, "4311744890628545485"));
  EXPECT_FALSE(ParseShortinfoReply(reply, "431174489062854548"));
}

TEST(DiscoveryDatagrams, MalformedQueriesAreNotRequests) {
  auto t06 = test::ReadTranscript("06_streamfeed_variants.json");
  auto bogus = test::TranscriptBytes(t06, "udp_unknown_method", "sent");
  EXPECT_EQ(ClassifyDatagram(bogus), DatagramKind::kOther);
  EXPECT_FALSE(AnswerDiscovery(bogus));
  for (std::string d :
       {"", "LSL:shortinfo", "LSL:shortinfo\r\n", "LSL:shortinfo\r\nname='x'\r\n",
        "LSL:shortinfo\r\n\r\n123\r\n", "LSL:shortinfo\r\n\r\nport id\r\n",
        "LSL:shortinfo\r\n\r\n70000 id\r\n", "LSL:shortinfo\r\n\r\n0 id\r\n",
        "LSL:shortinfo\r\n\r\n123 id extra\r\n", "LSL:shortinfo\r\n\r\n123 id\r\nmore\r\n"})
    EXPECT_FALSE(ParseShortinfoQuery(d)) << d;
  EXPECT_TRUE(ParseShortinfoQuery("LSL:shortinfo\nname='x'\n123 id\n")) << "bare \\n line ends";
  EXPECT_TRUE(ParseShortinfoQuery("LSL:shortinfo\r\n\r\n123 id")) << "no final line end";
  EXPECT_FALSE(ParseShortinfoQuery(std::string(kMaxDatagramBytes + 1, 'x')));
}

TEST(DiscoveryDatagrams, ForeignIdsAndBrokenDeclarationsAreNoReplies) {
  EXPECT_FALSE(ParseShortinfoReply("42", "42"));
  EXPECT_FALSE(ParseShortinfoReply("42\r\n<info><name>x</name>", "42"));
  EXPECT_FALSE(ParseShortinfoReply("42\r\n" + std::string(70000, '<'), "42"));
  // A bare \n and trailing blanks after the id are tolerated.
  EXPECT_TRUE(ParseShortinfoReply("42 \n" + ToShortXml(TranscriptInfo()), "42"));
}

TEST(DiscoveryRoundTrip, EveryQueryReadsBackAsWritten) {
  std::mt19937 rng(11);
  for (int i = 0; i < 500; ++i) {
    ShortinfoQuery query;
    query.query = test::RandomToken(rng, 200);
    query.reply_port = static_cast<uint16_t>(1 + rng() % 65535);
    query.query_id = MakeQueryId(test::RandomBytes(rng, 50));
    const auto parsed = ParseShortinfoQuery(FormatShortinfoQuery(query));
    ASSERT_TRUE(parsed) << FormatShortinfoQuery(query);
    EXPECT_EQ(parsed->query, query.query);
    EXPECT_EQ(parsed->reply_port, query.reply_port);
    EXPECT_EQ(parsed->query_id, query.query_id);
    EXPECT_EQ(ClassifyDatagram(FormatShortinfoQuery(query)), DatagramKind::kShortinfo);
  }
}

TEST(DiscoveryRoundTrip, EveryReplyDeclaresTheStreamItWasMadeFrom) {
  std::mt19937 rng(12);
  for (int i = 0; i < 300; ++i) {
    const StreamInfo info = test::RandomStreamInfo(rng);
    const std::string id = MakeQueryId(test::RandomBytes(rng, 50));
    const auto parsed = ParseShortinfoReply(FormatShortinfoReply(id, ToShortXml(info)), id);
    ASSERT_TRUE(parsed) << ToShortXml(info);
    // The stream's whole declaration, as the short form carries it.
    EXPECT_EQ(ToShortXml(*parsed), ToShortXml(info));
    EXPECT_EQ(parsed->uid, info.uid);
    EXPECT_EQ(parsed->created_at, info.created_at);
    EXPECT_EQ(parsed->v6service_port, info.v6service_port);
  }
}

}  // namespace
}  // namespace maroquint::lsl::core
