#include "core/protocol/streamfeed.h"

#include "core/protocol/constants.h"
#include "core/protocol/sample.h"

#include "round_trip.h"
#include "stream_fixtures.h"
#include "transcript.h"

#include <gtest/gtest.h>

namespace maroquint::lsl::core {
namespace {

using test::kTranscriptUid;

std::string Recorded04Reply() {
  return test::TranscriptStream(test::ReadTranscript("04_streamfeed.json"), "s2c");
}

std::string Received06(const char *exchange) {
  return test::TranscriptBytes(test::ReadTranscript("06_streamfeed_variants.json"), exchange,
                               "received");
}

TEST(StreamfeedReplay, Transcript04ReplyIsWhatWeWrite) {
  auto t04 = test::ReadTranscript("04_streamfeed.json");
  const auto reply = StreamfeedOkReply(kTranscriptUid, 1);
  EXPECT_EQ(reply, Recorded04Reply().substr(0, 157));
  EXPECT_EQ(FormatFeedReplyHeader(kTranscriptUid),
            test::TranscriptBytes(t04, "", "response_header"));
  EXPECT_EQ(Received06("tcp_streamfeed_minimal").substr(0, 157), reply);
  EXPECT_EQ(Received06("tcp_streamfeed_maxbuf0"), reply);
  EXPECT_EQ(std::string(kNotFoundReply), Received06("tcp_streamfeed_wrong_uid"));
  EXPECT_EQ(std::string(kVersionNotSupportedReply), Received06("tcp_streamfeed_version_200"));
}

TEST(StreamfeedReplay, ReadsTheRecordedHeader) {
  const auto recorded = Recorded04Reply();
  ASSERT_EQ(recorded.size(), 612u);
  FeedReplyParser parser(kTranscriptUid);
  ASSERT_EQ(parser.Feed(recorded), FeedReplyStatus::kOk);
  EXPECT_FALSE(parser.Header().big_endian);
  EXPECT_EQ(parser.Header().data_protocol_version, 110);
  EXPECT_EQ(parser.Header().uid, kTranscriptUid);
  EXPECT_EQ(parser.Remainder().size(), 612u - 131u);

  FeedReplyParser big_endian("");
  ASSERT_EQ(big_endian.Feed(Received06("tcp_streamfeed_bigendian_client")), FeedReplyStatus::kOk);
  EXPECT_TRUE(big_endian.Header().big_endian);
  FeedReplyParser without_uid("");
  EXPECT_EQ(without_uid.Feed(Received06("tcp_streamfeed_minimal")), FeedReplyStatus::kOk);
}

TEST(StreamfeedReply, KeepsEverythingAfterTheHeaderOfALargeFirstRead) {
  // One socket read may hold the header and far more than a header's worth of samples.
  const auto recorded = Recorded04Reply();
  std::string samples;
  for (int i = 0; i < 3000; ++i) samples += recorded.substr(131 + 26, 16);
  FeedReplyParser parser(kTranscriptUid);
  ASSERT_EQ(parser.Feed(recorded.substr(0, 131 + 26) + samples), FeedReplyStatus::kOk);
  EXPECT_EQ(parser.Remainder().size(), 26 + samples.size());
  FeedSampleStream stream(1, 0.0, false);
  std::vector<StringSample> out;
  EXPECT_TRUE(stream.Feed(parser.Remainder(), out));
  ASSERT_EQ(out.size(), 3000u);
  EXPECT_EQ(out.back().values[0], "start");
  EXPECT_EQ(out.back().timestamp, 1364.855880282);
}

// A reply whose status line has no line end, or whose header stops short,
// is read once the peer closes.
TEST(StreamfeedReply, AnUnfinishedReplyCountsOnceThePeerCloses) {
  FeedReplyParser not_found(kTranscriptUid);
  EXPECT_EQ(not_found.Feed(Received06("tcp_streamfeed_wrong_uid")), FeedReplyStatus::kNeedMore);
  EXPECT_EQ(not_found.Finish(), FeedReplyStatus::kNotFound);

  FeedReplyParser too_new(kTranscriptUid);
  EXPECT_EQ(too_new.Feed(Received06("tcp_streamfeed_version_200")), FeedReplyStatus::kNeedMore);
  EXPECT_EQ(too_new.Finish(), FeedReplyStatus::kVersionNotSupported);

  FeedReplyParser truncated("");
  EXPECT_EQ(truncated.Feed("LSL/110 200 OK\r\nData-Protocol"), FeedReplyStatus::kNeedMore);
  EXPECT_EQ(truncated.Finish(), FeedReplyStatus::kMalformed);
}

// Legacy and newer data protocols are refused, as are replies malformed,
// refusing or for another stream.
TEST(StreamfeedReply, EachRefusedReplySaysWhy) {
  struct Case {
    std::string uid;  // the stream asked for; empty: any
    std::string reply;
    FeedReplyStatus status;
  };
  const Case cases[] = {
      {kTranscriptUid, Received06("tcp_streamfeed_110_protocol_version_header_100"),
       FeedReplyStatus::kUnsupported},
      {"", "LSL/110 200 OK\r\nByte-Order: 1234\r\n\r\n", FeedReplyStatus::kUnsupported},
      {"", "LSL/110 200 OK\r\nData-Protocol-Version: 111\r\n\r\n",
       FeedReplyStatus::kVersionNotSupported},
      {"", "LSL/200 200 OK\r\nData-Protocol-Version: 110\r\n\r\n",
       FeedReplyStatus::kVersionNotSupported},
      {"x", "LSL/110 404 Not found\r\n", FeedReplyStatus::kNotFound},
      {kTranscriptUid, "LSL/110 200 OK\r\nUID: someone-else\r\nData-Protocol-Version: 110\r\n\r\n",
       FeedReplyStatus::kNotFound},
      {"", "LSL/110 400 Bad request\r\n", FeedReplyStatus::kRefused},
      {"", "HTTP/1.1 200 OK\r\n\r\n", FeedReplyStatus::kMalformed},
      {"", "LSL/110\r\n\r\n", FeedReplyStatus::kMalformed},
      {"", "LSL/abc 200 OK\r\n\r\n", FeedReplyStatus::kMalformed},
      {"", "LSL/110 2x0 OK\r\n\r\n", FeedReplyStatus::kMalformed},
      {"", "LSL/110 200 OK\r\nByte-Order: 1111\r\nData-Protocol-Version: 110\r\n\r\n",
       FeedReplyStatus::kMalformed},
      {"", "LSL/110 200 OK\r\nData-Protocol-Version: many\r\n\r\n", FeedReplyStatus::kMalformed},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.reply);
    FeedReplyParser parser(c.uid);
    EXPECT_EQ(parser.Feed(c.reply), c.status);
  }
}

TEST(StreamfeedReply, AnEndlessHeaderIsCutOff) {
  FeedReplyParser p("");
  EXPECT_EQ(p.Feed("LSL/110 200 OK\r\n"), FeedReplyStatus::kNeedMore);
  FeedReplyStatus s = FeedReplyStatus::kNeedMore;
  for (int i = 0; i < 1000 && s == FeedReplyStatus::kNeedMore; ++i)
    s = p.Feed("X-Padding: aaaaaaaaaaaa\r\n");
  EXPECT_EQ(s, FeedReplyStatus::kMalformed);

  FeedReplyParser no_newline("");
  s = FeedReplyStatus::kNeedMore;
  for (int i = 0; i < 1000 && s == FeedReplyStatus::kNeedMore; ++i)
    s = no_newline.Feed(std::string(100, 'L'));
  EXPECT_EQ(s, FeedReplyStatus::kMalformed);
}

TEST(StreamfeedRoundTrip, EveryReplyHeaderReadsBackSplitAnywhere) {
  std::mt19937 rng(41);
  for (int i = 0; i < 60; ++i) {
    const std::string uid = "u" + test::RandomToken(rng, 40);
    const std::string after = test::RandomBytes(rng, 40);
    const std::string bytes = FormatFeedReplyHeader(uid) + after;
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      FeedReplyParser parser(rng() % 2 ? uid : "");
      FeedReplyStatus status = FeedReplyStatus::kNeedMore;
      test::FeedInTwo(bytes, cut, [&](std::string_view piece) {
        if (status == FeedReplyStatus::kNeedMore) status = parser.Feed(piece);
      });
      ASSERT_EQ(status, FeedReplyStatus::kOk) << bytes << " cut at " << cut;
      EXPECT_EQ(parser.Header().uid, uid);
      EXPECT_FALSE(parser.Header().big_endian);
      EXPECT_FALSE(parser.Header().suppress_subnormals);
      EXPECT_EQ(parser.Header().data_protocol_version, kProtocolVersion);
      // Once the header is complete, the rest is handed on as it came.
      const std::size_t header_size = bytes.size() - after.size();
      const std::string expected_rest =
          cut >= header_size ? bytes.substr(header_size, cut - header_size) : after;
      EXPECT_EQ(parser.Remainder(), expected_rest);
    }
  }
}

}  // namespace
}  // namespace maroquint::lsl::core
