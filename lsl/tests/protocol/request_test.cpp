#include "core/protocol/request.h"

#include "core/protocol/constants.h"
#include "core/protocol/discovery.h"
#include "core/protocol/timedata.h"
#include "core/query.h"
#include "core/stream_info.h"

#include "round_trip.h"
#include "stream_fixtures.h"
#include "transcript.h"

#include <gtest/gtest.h>

namespace maroquint::lsl::core {
namespace {

using test::kTranscriptUid;
using test::TranscriptInfo;

TcpRequest ReadRequest(const std::string &bytes, bool byte_at_a_time = false) {
  TcpRequestReader reader(kTranscriptUid);
  if (byte_at_a_time) {
    for (char c : bytes) {
      reader.Feed(&c, 1);
      if (reader.Result().kind != TcpRequest::Kind::kIncomplete) break;
    }
  } else {
    EXPECT_LE(reader.Feed(bytes.data(), bytes.size()), bytes.size());
  }
  return reader.Result();
}

// The same request as the reader sees it when the bytes arrive in two reads
// cut at `cut`; the reader must not take a byte beyond the request.
TcpRequest ReadRequestInTwo(const std::string &bytes, std::size_t cut) {
  TcpRequestReader reader(kTranscriptUid);
  std::size_t used = 0;
  test::FeedInTwo(bytes, cut, [&](std::string_view piece) {
    if (reader.Result().kind == TcpRequest::Kind::kIncomplete)
      used += reader.Feed(piece.data(), piece.size());
  });
  EXPECT_EQ(used, bytes.size());
  return reader.Result();
}

// liblsl measures its swap speed for Endian-Performance; every other line is fixed.
std::string WithoutMeasuredSwapRate(std::string request) {
  const std::string measured = "Endian-Performance: 1.31668e+07\r\n";
  return request.replace(request.find(measured), measured.size(), "Endian-Performance: 0\r\n");
}

TEST(RequestReplay, Transcript04StreamfeedRequest) {
  auto t04 = test::ReadTranscript("04_streamfeed.json");
  auto request = test::TranscriptBytes(t04, "", "request");
  for (bool slow : {false, true}) {
    auto r = ReadRequest(request, slow);
    ASSERT_EQ(r.kind, TcpRequest::Kind::kStreamfeed);
    EXPECT_EQ(r.max_buffer_length, 36000);
    EXPECT_EQ(r.max_chunk_length, 0);
    EXPECT_EQ(r.uid, kTranscriptUid);
    EXPECT_EQ(r.hostname, "vm");
    EXPECT_EQ(r.source_id, "transcript-source-1");
    EXPECT_EQ(r.session_id, "default");
  }
  FeedRequest ours;
  ours.uid = kTranscriptUid;
  ours.hostname = "vm";
  ours.source_id = "transcript-source-1";
  ours.session_id = "default";
  ours.max_buffer_length = FeedBufferLength(360, 0.0);
  EXPECT_EQ(FormatFeedRequest(ours), WithoutMeasuredSwapRate(request));
}

TEST(RequestReplay, Transcript06Variants) {
  auto t06 = test::ReadTranscript("06_streamfeed_variants.json");
  auto sent = [&](const char *exchange) { return test::TranscriptBytes(t06, exchange, "sent"); };
  using K = TcpRequest::Kind;
  EXPECT_EQ(ReadRequest(sent("tcp_streamfeed_wrong_uid")).kind, K::kNotFound);
  EXPECT_EQ(ReadRequest(sent("tcp_streamfeed_version_200")).kind, K::kVersionNotSupported);

  auto minimal = ReadRequest(sent("tcp_streamfeed_minimal"));
  EXPECT_EQ(minimal.kind, K::kStreamfeed);
  EXPECT_EQ(minimal.max_buffer_length, 36000);

  auto maxbuf0 = ReadRequest(sent("tcp_streamfeed_maxbuf0"));
  EXPECT_EQ(maxbuf0.kind, K::kStreamfeed);
  EXPECT_EQ(maxbuf0.max_buffer_length, 0);

  // liblsl leaves this one hanging; here it is complete, with defaults.
  auto bare = ReadRequest(sent("tcp_streamfeed_no_header_lines"));
  EXPECT_EQ(bare.kind, K::kStreamfeed);
  EXPECT_EQ(bare.max_buffer_length, 0);

  EXPECT_EQ(ReadRequest(sent("tcp_streamfeed_bigendian_client")).kind, K::kStreamfeed);
  EXPECT_EQ(ReadRequest(sent("tcp_streamfeed_110_asks_dp100")).kind, K::kStreamfeed)
      << "Data-Protocol-Version is not read by outlets";
  EXPECT_EQ(ReadRequest(sent("tcp_streamfeed_110_protocol_version_header_100")).kind, K::kClose)
      << "protocol 1.00 is not served";
  EXPECT_EQ(ReadRequest(sent("tcp_streamfeed_100")).kind, K::kClose) << "legacy request";
  EXPECT_EQ(ReadRequest(sent("tcp_unknown_method")).kind, K::kClose);
}

TEST(RequestReplay, Transcript03FullinfoAndShortinfo) {
  auto t03 = test::ReadTranscript("03_fullinfo_and_tcp_shortinfo.json");
  const auto fullinfo = test::TranscriptBytes(t03, "", "request");
  EXPECT_EQ(FormatFullinfoRequest(), fullinfo);
  EXPECT_EQ(ReadRequest(fullinfo).kind, TcpRequest::Kind::kFullinfo);
  const auto match_bytes = test::TranscriptBytes(t03, "tcp_shortinfo_match", "sent");
  auto match = ReadRequest(match_bytes);
  ASSERT_EQ(match.kind, TcpRequest::Kind::kShortinfo);
  EXPECT_TRUE(Query::Compile(match.query).Matches(TranscriptInfo()));
  EXPECT_EQ(FormatInfoQueryRequest(match.query), match_bytes);
  auto nomatch = ReadRequest(test::TranscriptBytes(t03, "tcp_shortinfo_nomatch", "sent"));
  ASSERT_EQ(nomatch.kind, TcpRequest::Kind::kShortinfo);
  EXPECT_FALSE(Query::Compile(nomatch.query).Matches(TranscriptInfo()));
}

TEST(FeedRequest, BufferLengthIsHundredsOfSamplesForIrregularAndSecondsForRegularStreams) {
  EXPECT_EQ(FeedBufferLength(360, 0.0), 36000);
  EXPECT_EQ(FeedBufferLength(1, 0.0), 100);
  EXPECT_EQ(FeedBufferLength(10, 250.0), 2500);
  EXPECT_EQ(FeedBufferLength(0, 0.0), 36000);
  EXPECT_EQ(FeedBufferLength(360, 1e9), 2147483647);
}

TEST(TcpRequestReader, StopsAtTheEndOfTheRequest) {
  TcpRequestReader reader(kTranscriptUid);
  std::string bytes = "LSL:fullinfo\r\ntrailing bytes";
  EXPECT_EQ(reader.Feed(bytes.data(), bytes.size()), 14u);
  EXPECT_EQ(reader.Result().kind, TcpRequest::Kind::kFullinfo);
}

TEST(TcpRequestReader, IncompleteUntilTheBlankLine) {
  TcpRequestReader reader(kTranscriptUid);
  std::string head = "LSL:streamfeed/110\r\nMax-Buffer-Length: 5\r\n";
  reader.Feed(head.data(), head.size());
  EXPECT_EQ(reader.Result().kind, TcpRequest::Kind::kIncomplete);
  reader.Feed("\n", 1);
  EXPECT_EQ(reader.Result().kind, TcpRequest::Kind::kStreamfeed)
      << "a bare \\n blank line ends it too";
  EXPECT_EQ(reader.Result().max_buffer_length, 5);
}

TEST(TcpRequestReader, HeaderRulesOfLiblsl) {
  auto r = ReadRequest(
      "LSL:streamfeed/110\r\nmax-buffer-LENGTH :  77 ; a comment\r\nno colon here\r\n"
      "Unknown: x\r\n\r\n");
  EXPECT_EQ(r.kind, TcpRequest::Kind::kStreamfeed);
  EXPECT_EQ(r.max_buffer_length, 77);
  EXPECT_EQ(ReadRequest("LSL:streamfeed/150\r\nMax-Buffer-Length: 1\r\n\r\n").kind,
            TcpRequest::Kind::kStreamfeed)
      << "minor version differences pass";
  EXPECT_EQ(ReadRequest("LSL:streamfeed/200 wrong-uid\r\nX: 1\r\n\r\n").kind,
            TcpRequest::Kind::kVersionNotSupported)
      << "505 is checked before 404";
}

TEST(TcpRequestReader, MalformedRequestsClose) {
  using K = TcpRequest::Kind;
  for (std::string bad : {"LSL:streamfeed/abc\r\nA: 1\r\n\r\n", "LSL:streamfeed/\r\nA: 1\r\n\r\n",
                          "LSL:streamfeed/110 a b\r\nA: 1\r\n\r\n",
                          "LSL:streamfeed/110\r\nMax-Buffer-Length: x\r\n\r\n",
                          "LSL:streamfeed/110\r\nMax-Buffer-Length: -5\r\n\r\n",
                          "GET / HTTP/1.1\r\n", "LSL:streamfeed/-1\r\nA: 1\r\n\r\n"})
    EXPECT_EQ(ReadRequest(bad).kind, K::kClose) << bad;
}

TEST(TcpRequestReader, OversizedLinesAndHeaderBlocksClose) {
  using K = TcpRequest::Kind;
  EXPECT_EQ(ReadRequest(std::string(kMaxRequestLineBytes + 1, 'L')).kind, K::kClose);
  std::string many = "LSL:streamfeed/110\r\n";
  for (std::size_t i = 0; i <= kMaxHeaderLines; ++i) many += "X: 1\r\n";
  EXPECT_EQ(ReadRequest(many + "\r\n").kind, K::kClose);
  std::string fat =
      "LSL:streamfeed/110\r\nX: " + std::string(kMaxHeaderBlockBytes, 'x') + "\r\n\r\n";
  EXPECT_EQ(ReadRequest(fat, true).kind, K::kClose);
  EXPECT_EQ(ReadRequest("LSL:shortinfo\r\n" + std::string(kMaxRequestLineBytes + 1, 'q')).kind,
            K::kClose);
}

TEST(RequestRoundTrip, EveryStreamfeedRequestReadsBackAsWrittenSplitAnywhere) {
  std::mt19937 rng(31);
  for (int i = 0; i < 40; ++i) {
    FeedRequest request;
    request.uid = rng() % 4 ? kTranscriptUid : "";
    request.hostname = test::RandomToken(rng, 30);
    request.source_id = test::RandomToken(rng, 60);
    request.session_id = test::RandomToken(rng, 20);
    request.max_buffer_length = static_cast<int32_t>(rng() & 0x7fffffff);
    request.max_chunk_length = static_cast<int32_t>(rng() % 1000);
    const std::string bytes = FormatFeedRequest(request);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      const TcpRequest read = ReadRequestInTwo(bytes, cut);
      ASSERT_EQ(read.kind, TcpRequest::Kind::kStreamfeed) << bytes << " cut at " << cut;
      EXPECT_EQ(read.uid, request.uid);
      EXPECT_EQ(read.hostname, request.hostname);
      EXPECT_EQ(read.source_id, request.source_id);
      EXPECT_EQ(read.session_id, request.session_id);
      EXPECT_EQ(read.max_buffer_length, request.max_buffer_length);
      EXPECT_EQ(read.max_chunk_length, request.max_chunk_length);
    }
  }
}

TEST(RequestRoundTrip, EveryInfoRequestReadsBackAsWrittenSplitAnywhere) {
  std::mt19937 rng(32);
  const std::string fullinfo = FormatFullinfoRequest();
  for (std::size_t cut = 0; cut <= fullinfo.size(); ++cut)
    EXPECT_EQ(ReadRequestInTwo(fullinfo, cut).kind, TcpRequest::Kind::kFullinfo);
  for (int i = 0; i < 100; ++i) {
    const std::string query = test::RandomToken(rng, 120);
    const std::string bytes = FormatInfoQueryRequest(query);
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      const TcpRequest read = ReadRequestInTwo(bytes, cut);
      ASSERT_EQ(read.kind, TcpRequest::Kind::kShortinfo) << bytes << " cut at " << cut;
      EXPECT_EQ(read.query, query);
    }
  }
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
    EXPECT_LE(reader.Feed(bytes.data(), bytes.size()), bytes.size());
    (void)ClassifyDatagram(bytes);
    (void)ParseShortinfoQuery(bytes);
    (void)ParseTimeProbe(bytes);
    (void)ParseTimeReply(bytes);
    (void)ParseXml(bytes);
    auto query = Query::Compile(bytes);
    (void)query.Matches(TranscriptInfo());
  }
}

}  // namespace
}  // namespace maroquint::lsl::core
