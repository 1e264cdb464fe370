#include "core/outlet_protocol.h"

#include "core/query.h"
#include "core/stream_info.h"
#include "core/timedata.h"

#include "stream_fixtures.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <random>

namespace lsl::core {
namespace {

using test::kTranscriptUid;
using test::transcript_info;

// What the outlet answers to a datagram on a discovery socket: the reply,
// or nothing.
std::optional<std::string> answer_discovery(const std::string &datagram) {
  if (classify_datagram(datagram) != DatagramKind::shortinfo) return std::nullopt;
  auto request = parse_shortinfo_request(datagram);
  if (!request || !Query::compile(request->query).matches(transcript_info())) return std::nullopt;
  return format_shortinfo_reply(request->query_id, to_short_xml(transcript_info()));
}

TcpRequest read_request(const std::string &bytes, bool byte_at_a_time = false) {
  TcpRequestReader reader(kTranscriptUid);
  if (byte_at_a_time) {
    for (char c : bytes) {
      reader.feed(&c, 1);
      if (reader.result().kind != TcpRequest::Kind::incomplete) break;
    }
  } else {
    EXPECT_LE(reader.feed(bytes.data(), bytes.size()), bytes.size());
  }
  return reader.result();
}

TEST(DiscoveryReplay, Transcript01ResolverQueryGetsTheExactReply) {
  auto t01 = test::read_transcript("01_discovery_default_config.json");
  auto query = test::transcript_bytes(t01, "\"queries\"", "payload");
  auto request = parse_shortinfo_request(query);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->query, "session_id='default' and type='Markers'");
  EXPECT_EQ(request->reply_port, 16575);
  EXPECT_EQ(request->query_id, "4311744890628545484");
  auto reply = answer_discovery(query);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, test::transcript_bytes(t01, "first_reply", "payload"));
  EXPECT_EQ(reply->size(), 676u);
}

TEST(DiscoveryReplay, Transcript01HandMadeQueries) {
  auto t01 = test::read_transcript("01_discovery_default_config.json");
  struct Case {
    const char *exchange;
    std::size_t reply_len;  // 0 = silence
  };
  for (auto c : {Case{"udp_discovery_query", 661}, Case{"udp_discovery_nomatch", 0},
                 Case{"udp_discovery_empty_query", 661}, Case{"udp_discovery_xpath", 661},
                 Case{"udp_service_shortinfo", 659}}) {
    auto sent = test::transcript_bytes(t01, c.exchange, "sent");
    auto reply = answer_discovery(sent);
    if (c.reply_len == 0) {
      EXPECT_FALSE(reply) << c.exchange;
      continue;
    }
    ASSERT_TRUE(reply) << c.exchange;
    EXPECT_EQ(reply->size(), c.reply_len) << c.exchange;
    auto received = test::transcript_bytes(t01, c.exchange, "received");
    EXPECT_EQ(reply->substr(0, reply->find("\r\n") + 2),
              received.substr(0, received.find("\r\n") + 2));
  }
}

TEST(DiscoveryReplay, Transcript02MachineScopeQuery) {
  auto t02 = test::read_transcript("02_discovery_machine_scope.json");
  auto reply = answer_discovery(test::transcript_bytes(t02, "\"queries\"", "payload"));
  ASSERT_TRUE(reply);
  auto expected = test::transcript_bytes(t02, "first_reply", "payload");
  EXPECT_EQ(reply->substr(0, 21), expected.substr(0, 21));
  EXPECT_EQ(reply->size(), expected.size());
}

TEST(DiscoveryDatagrams, MalformedOnesAreNotRequests) {
  auto t06 = test::read_transcript("06_streamfeed_variants.json");
  auto bogus = test::transcript_bytes(t06, "udp_unknown_method", "sent");
  EXPECT_EQ(classify_datagram(bogus), DatagramKind::other);
  EXPECT_FALSE(answer_discovery(bogus));
  for (std::string d :
       {"", "LSL:shortinfo", "LSL:shortinfo\r\n", "LSL:shortinfo\r\nname='x'\r\n",
        "LSL:shortinfo\r\n\r\n123\r\n", "LSL:shortinfo\r\n\r\nport id\r\n",
        "LSL:shortinfo\r\n\r\n70000 id\r\n", "LSL:shortinfo\r\n\r\n0 id\r\n",
        "LSL:shortinfo\r\n\r\n123 id extra\r\n", "LSL:shortinfo\r\n\r\n123 id\r\nmore\r\n"})
    EXPECT_FALSE(parse_shortinfo_request(d)) << d;
  EXPECT_TRUE(parse_shortinfo_request("LSL:shortinfo\nname='x'\n123 id\n")) << "bare \\n line ends";
  EXPECT_TRUE(parse_shortinfo_request("LSL:shortinfo\r\n\r\n123 id")) << "no final line end";
  EXPECT_FALSE(parse_shortinfo_request(std::string(kMaxDatagramBytes + 1, 'x')));
}

TEST(TimedataReplay, Transcript05RepliesRebuiltFromTheOutletsClockValues) {
  auto t05 = test::read_transcript("05_timesync.json");
  for (auto anchor : {"\"probes\"", "udp_timedata\"", "udp_timedata_v6"}) {
    auto request = test::transcript_bytes(t05, anchor, anchor[0] == '"' ? "request" : "sent");
    auto reply = test::transcript_bytes(t05, anchor, anchor[0] == '"' ? "reply" : "received");
    EXPECT_EQ(classify_datagram(request), DatagramKind::timedata);
    auto probe = parse_time_probe(request);
    ASSERT_TRUE(probe) << request;
    // The outlet's t1 and t2 are the last two fields of the captured reply.
    auto t2_at = reply.rfind(' ');
    auto t1_at = reply.rfind(' ', t2_at - 1);
    auto t1 = parse_double(reply.substr(t1_at + 1, t2_at - t1_at - 1));
    auto t2 = parse_double(reply.substr(t2_at + 1));
    ASSERT_TRUE(t1 && t2);
    EXPECT_EQ(format_time_reply(*probe, *t1, *t2), reply);
  }
}

TEST(TimedataParse, RejectsMalformedProbes) {
  for (std::string d : {"LSL:timedata\r\n", "LSL:timedata\r\n1 \r\n", "LSL:timedata\r\nx 1.5\r\n",
                        "LSL:timedata\r\n1 abc\r\n", "LSL:timedata\r\n1 2 3\r\n",
                        "LSL:shortinfo\r\n1 2\r\n", "LSL:timedata 1 2"})
    EXPECT_FALSE(parse_time_probe(d)) << d;
  EXPECT_FALSE(parse_time_probe("LSL:timedata\r\n1 " + std::string(600, '1') + "\r\n"));
}

TEST(StreamfeedReplay, Transcript04RequestGetsTheExact157ByteReply) {
  auto t04 = test::read_transcript("04_streamfeed.json");
  auto request = test::transcript_bytes(t04, "", "request");
  for (bool slow : {false, true}) {
    auto r = read_request(request, slow);
    ASSERT_EQ(r.kind, TcpRequest::Kind::streamfeed);
    EXPECT_EQ(r.max_buffer_length, 36000);
    EXPECT_EQ(r.max_chunk_length, 0);
  }
  auto reply = streamfeed_ok_reply(kTranscriptUid, 1);
  auto segments = t04.substr(t04.find("\"segments\""));
  EXPECT_EQ(reply, test::transcript_bytes(segments, "\"len\": 157", "data"));
  EXPECT_EQ(reply.substr(0, 131), test::transcript_bytes(t04, "", "response_header"));
}

TEST(StreamfeedReplay, Transcript06Variants) {
  auto t06 = test::read_transcript("06_streamfeed_variants.json");
  auto sent = [&](const char *exchange) { return test::transcript_bytes(t06, exchange, "sent"); };
  using K = TcpRequest::Kind;
  EXPECT_EQ(read_request(sent("tcp_streamfeed_wrong_uid")).kind, K::not_found);
  EXPECT_EQ(std::string(kNotFoundReply),
            test::transcript_bytes(t06, "tcp_streamfeed_wrong_uid", "received"));
  EXPECT_EQ(read_request(sent("tcp_streamfeed_version_200")).kind, K::version_not_supported);
  EXPECT_EQ(std::string(kVersionNotSupportedReply),
            test::transcript_bytes(t06, "tcp_streamfeed_version_200", "received"));

  auto minimal = read_request(sent("tcp_streamfeed_minimal"));
  EXPECT_EQ(minimal.kind, K::streamfeed);
  EXPECT_EQ(minimal.max_buffer_length, 36000);
  auto received = test::transcript_bytes(t06, "tcp_streamfeed_minimal", "received");
  EXPECT_EQ(received.substr(0, 157), streamfeed_ok_reply(kTranscriptUid, 1));

  auto maxbuf0 = read_request(sent("tcp_streamfeed_maxbuf0"));
  EXPECT_EQ(maxbuf0.kind, K::streamfeed);
  EXPECT_EQ(maxbuf0.max_buffer_length, 0);
  EXPECT_EQ(test::transcript_bytes(t06, "tcp_streamfeed_maxbuf0", "received"),
            streamfeed_ok_reply(kTranscriptUid, 1));

  // liblsl leaves this one hanging; here it is complete, with defaults.
  auto bare = read_request(sent("tcp_streamfeed_no_header_lines"));
  EXPECT_EQ(bare.kind, K::streamfeed);
  EXPECT_EQ(bare.max_buffer_length, 0);

  EXPECT_EQ(read_request(sent("tcp_streamfeed_bigendian_client")).kind, K::streamfeed);
  EXPECT_EQ(read_request(sent("tcp_streamfeed_110_asks_dp100")).kind, K::streamfeed)
      << "Data-Protocol-Version is not read by outlets";
  EXPECT_EQ(read_request(sent("tcp_streamfeed_110_protocol_version_header_100")).kind, K::close)
      << "protocol 1.00 is not served";
  EXPECT_EQ(read_request(sent("tcp_streamfeed_100")).kind, K::close) << "legacy request";
  EXPECT_EQ(read_request(sent("tcp_unknown_method")).kind, K::close);
}

TEST(InfoRequestReplay, Transcript03FullinfoAndShortinfo) {
  auto t03 = test::read_transcript("03_fullinfo_and_tcp_shortinfo.json");
  EXPECT_EQ(read_request(test::transcript_bytes(t03, "", "request")).kind,
            TcpRequest::Kind::fullinfo);
  auto match = read_request(test::transcript_bytes(t03, "tcp_shortinfo_match", "sent"));
  ASSERT_EQ(match.kind, TcpRequest::Kind::shortinfo);
  EXPECT_TRUE(Query::compile(match.query).matches(transcript_info()));
  auto nomatch = read_request(test::transcript_bytes(t03, "tcp_shortinfo_nomatch", "sent"));
  ASSERT_EQ(nomatch.kind, TcpRequest::Kind::shortinfo);
  EXPECT_FALSE(Query::compile(nomatch.query).matches(transcript_info()));
}

TEST(TcpRequestReader, StopsAtTheEndOfTheRequest) {
  TcpRequestReader reader(kTranscriptUid);
  std::string bytes = "LSL:fullinfo\r\ntrailing bytes";
  EXPECT_EQ(reader.feed(bytes.data(), bytes.size()), 14u);
  EXPECT_EQ(reader.result().kind, TcpRequest::Kind::fullinfo);
}

TEST(TcpRequestReader, IncompleteUntilTheBlankLine) {
  TcpRequestReader reader(kTranscriptUid);
  std::string head = "LSL:streamfeed/110\r\nMax-Buffer-Length: 5\r\n";
  reader.feed(head.data(), head.size());
  EXPECT_EQ(reader.result().kind, TcpRequest::Kind::incomplete);
  reader.feed("\n", 1);
  EXPECT_EQ(reader.result().kind, TcpRequest::Kind::streamfeed)
      << "a bare \\n blank line ends it too";
  EXPECT_EQ(reader.result().max_buffer_length, 5);
}

TEST(TcpRequestReader, HeaderRulesOfLiblsl) {
  auto r = read_request(
      "LSL:streamfeed/110\r\nmax-buffer-LENGTH :  77 ; a comment\r\nno colon here\r\n"
      "Unknown: x\r\n\r\n");
  EXPECT_EQ(r.kind, TcpRequest::Kind::streamfeed);
  EXPECT_EQ(r.max_buffer_length, 77);
  EXPECT_EQ(read_request("LSL:streamfeed/150\r\nMax-Buffer-Length: 1\r\n\r\n").kind,
            TcpRequest::Kind::streamfeed)
      << "minor version differences pass";
  EXPECT_EQ(read_request("LSL:streamfeed/200 wrong-uid\r\nX: 1\r\n\r\n").kind,
            TcpRequest::Kind::version_not_supported)
      << "505 is checked before 404";
}

TEST(TcpRequestReader, MalformedRequestsClose) {
  using K = TcpRequest::Kind;
  for (std::string bad : {"LSL:streamfeed/abc\r\nA: 1\r\n\r\n", "LSL:streamfeed/\r\nA: 1\r\n\r\n",
                          "LSL:streamfeed/110 a b\r\nA: 1\r\n\r\n",
                          "LSL:streamfeed/110\r\nMax-Buffer-Length: x\r\n\r\n",
                          "LSL:streamfeed/110\r\nMax-Buffer-Length: -5\r\n\r\n",
                          "GET / HTTP/1.1\r\n", "LSL:streamfeed/-1\r\nA: 1\r\n\r\n"})
    EXPECT_EQ(read_request(bad).kind, K::close) << bad;
}

TEST(TcpRequestReader, OversizedLinesAndHeaderBlocksClose) {
  using K = TcpRequest::Kind;
  EXPECT_EQ(read_request(std::string(kMaxRequestLineBytes + 1, 'L')).kind, K::close);
  std::string many = "LSL:streamfeed/110\r\n";
  for (std::size_t i = 0; i <= kMaxHeaderLines; ++i) many += "X: 1\r\n";
  EXPECT_EQ(read_request(many + "\r\n").kind, K::close);
  std::string fat =
      "LSL:streamfeed/110\r\nX: " + std::string(kMaxHeaderBlockBytes, 'x') + "\r\n\r\n";
  EXPECT_EQ(read_request(fat, true).kind, K::close);
  EXPECT_EQ(read_request("LSL:shortinfo\r\n" + std::string(kMaxRequestLineBytes + 1, 'q')).kind,
            K::close);
}

// Random bytes after the prefixes real requests start with: every parser
// must come back with an answer (usually "no"), never crash or hang.
TEST(UntrustedInput, RandomBytesNeverBreakAParser) {
  std::mt19937 rng(1234);
  const std::vector<std::string> prefixes = {"",
                                             "LSL:shortinfo\r\n",
                                             "LSL:timedata\r\n",
                                             "LSL:streamfeed/110 ",
                                             "LSL:streamfeed/110\r\nMax-Buffer-Length: ",
                                             "LSL:fullinfo",
                                             "<?xml version=\"1.0\"?>\n<info>",
                                             "name='",
                                             "starts-with(",
                                             "(((("};
  const std::string alphabet = "LSL:/\r\n ='\"()<>!&;,.-_0123456789abcdefinfoandornot\t\x00\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = prefixes[static_cast<std::size_t>(round) % prefixes.size()];
    const auto length = rng() % 300;
    for (unsigned i = 0; i < length; ++i)
      bytes += (rng() % 2) ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng());
    TcpRequestReader reader(kTranscriptUid);
    EXPECT_LE(reader.feed(bytes.data(), bytes.size()), bytes.size());
    (void)classify_datagram(bytes);
    (void)parse_shortinfo_request(bytes);
    (void)parse_time_probe(bytes);
    (void)parse_xml(bytes);
    auto query = Query::compile(bytes);
    (void)query.matches(transcript_info());
  }
}

}  // namespace
}  // namespace lsl::core
