#include "core/protocol/timedata.h"

#include "core/protocol/discovery.h"
#include "core/stream_info.h"

#include "round_trip.h"
#include "transcript.h"

#include <gtest/gtest.h>

namespace maroquint::lsl::core {
namespace {

TEST(TimedataReplay, Transcript05RepliesRebuiltFromTheOutletsClockValues) {
  auto t05 = test::ReadTranscript("05_timesync.json");
  for (auto anchor : {"\"probes\"", "udp_timedata\"", "udp_timedata_v6"}) {
    auto request = test::TranscriptBytes(t05, anchor, anchor[0] == '"' ? "request" : "sent");
    auto reply = test::TranscriptBytes(t05, anchor, anchor[0] == '"' ? "reply" : "received");
    EXPECT_EQ(ClassifyDatagram(request), DatagramKind::kTimedata);
    auto probe = ParseTimeProbe(request);
    ASSERT_TRUE(probe) << request;
    // The outlet's t1 and t2 are the last two fields of the captured reply.
    auto parsed = ParseTimeReply(reply);
    ASSERT_TRUE(parsed) << reply;
    EXPECT_EQ(FormatTimeReply(*probe, parsed->t1, parsed->t2), reply);
    EXPECT_EQ(std::to_string(parsed->wave_id), probe->wave_id);
    EXPECT_EQ(parsed->t0, probe->t0);
  }
}

TEST(TimedataReplay, OurProbesHaveTheLayoutOfLiblsls) {
  auto t05 = test::ReadTranscript("05_timesync.json");
  for (const auto &item : test::TranscriptItems(t05, "probes")) {
    const auto request = test::TranscriptBytes(item, "", "request");
    const auto probe = ParseTimeProbe(request);
    ASSERT_TRUE(probe);
    EXPECT_EQ(FormatTimeProbe(std::stoi(probe->wave_id), probe->t0), request);
  }
  EXPECT_EQ(FormatTimeProbe(-7, 0.5), "LSL:timedata\r\n-7 0.5\r\n");
}

TEST(TimedataParse, RejectsMalformedProbes) {
  for (std::string d : {"LSL:timedata\r\n", "LSL:timedata\r\n1 \r\n", "LSL:timedata\r\nx 1.5\r\n",
                        "LSL:timedata\r\n1 abc\r\n", "LSL:timedata\r\n1 2 3\r\n",
                        "LSL:shortinfo\r\n1 2\r\n", "LSL:timedata 1 2",
                        // Found by fuzzing: two signs; and a wave id beyond a C int.
                        "LSL:timedata\r\n+-5 1.5\r\n", "LSL:timedata\r\n2147483648 1.5\r\n"})
    EXPECT_FALSE(ParseTimeProbe(d)) << d;
  EXPECT_FALSE(ParseTimeProbe("LSL:timedata\r\n1 " + std::string(600, '1') + "\r\n"));
}

TEST(TimedataParse, RejectsMalformedReplies) {
  const char *bad[] = {"",         " 1 2 3",     " 1 2 3 4 5",         " x 1 2 3",
                       " 1 a 2 3", " 1 2 3 nan", " 99999999999 1 2 3", "LSL:timedata\r\n1 2\r\n"};
  for (const char *b : bad) EXPECT_FALSE(ParseTimeReply(b)) << b;
  EXPECT_FALSE(ParseTimeReply(" 1 2 3 4" + std::string(1000, ' ')));
}

// Numbers travel with 16 significant digits: what comes back is the value
// as written, and writing it again gives the same text.
TEST(TimedataRoundTrip, ProbeAndReplyReadBackAsWritten) {
  std::mt19937 rng(21);
  for (int i = 0; i < 1000; ++i) {
    const auto wave = static_cast<int32_t>(rng());
    const double t0 = test::RandomDouble(rng);
    const double t1 = test::RandomDouble(rng);
    const double t2 = test::RandomDouble(rng);
    const std::string probe_bytes = FormatTimeProbe(wave, t0);
    const auto probe = ParseTimeProbe(probe_bytes);
    ASSERT_TRUE(probe) << probe_bytes;
    EXPECT_EQ(probe->wave_id, std::to_string(wave));
    EXPECT_EQ(FormatNumber(probe->t0), FormatNumber(t0));
    EXPECT_EQ(FormatTimeProbe(wave, probe->t0), probe_bytes);

    const std::string reply_bytes = FormatTimeReply(*probe, t1, t2);
    const auto reply = ParseTimeReply(reply_bytes);
    ASSERT_TRUE(reply) << reply_bytes;
    EXPECT_EQ(reply->wave_id, wave);
    EXPECT_EQ(reply->t0, probe->t0);
    EXPECT_EQ(FormatNumber(reply->t1), FormatNumber(t1));
    EXPECT_EQ(FormatNumber(reply->t2), FormatNumber(t2));
    EXPECT_EQ(FormatTimeReply(*probe, reply->t1, reply->t2), reply_bytes);
  }
}

}  // namespace
}  // namespace maroquint::lsl::core
