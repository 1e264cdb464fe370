#include "core/protocol/sample.h"

#include "core/protocol/streamfeed.h"

#include "round_trip.h"
#include "stream_fixtures.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace maroquint::lsl::core {
namespace {

std::string HexBytes(const std::string &spaced_hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < spaced_hex.size(); i += 3)
    out += static_cast<char>(std::stoi(spaced_hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string Encode(double ts, const std::string &value) {
  std::string out;
  const char *channels[] = {value.c_str()};
  AppendStringSample(out, ts, channels, 1);
  return out;
}

// A sample as a peer may write it: any length width, either byte order.
std::string Sample(unsigned char tag, double ts, const std::vector<std::string> &values,
                   int width = 1, bool big_endian = false) {
  std::string out(1, static_cast<char>(tag));
  auto put = [&](std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) {
      const int shift = big_endian ? 8 * (n - 1 - i) : 8 * i;
      out += static_cast<char>((v >> shift) & 0xff);
    }
  };
  if (tag == kTagTimestamp) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &ts, sizeof bits);
    put(bits, 8);
  }
  for (const std::string &v : values) {
    out += static_cast<char>(width);
    put(v.size(), width);
    out += v;
  }
  return out;
}

std::string Patterns(std::uint32_t channels, bool big_endian = false) {
  std::vector<std::string> values;
  for (std::uint32_t k = 0; k < channels; ++k) values.push_back(TestPatternValue(k));
  const std::string p = Sample(kTagTimestamp, kTestPatternTimestamp, values, 1, big_endian);
  return p + p;
}

TEST(SampleReplay, WeEncodeEverySampleOfTranscript04) {
  auto t04 = test::ReadTranscript("04_streamfeed.json");
  struct Case {
    const char *anchor;
    double ts;
    std::string value;
  };
  const std::vector<Case> cases = {
      {"\"offset\": 26,", 1364.855880282, "start"},
      {"\"offset\": 42,", 1000.5, "explicit-ts"},
      {"\"offset\": 64,", 1001.25, ""},
      {"\"offset\": 75,", 1002.0, std::string(300, 'L')},
      {"\"offset\": 389,", 1003.0, "caf\xc3\xa9-\xe2\x9c\x93"},
      {"\"offset\": 427,", kDeducedTimestamp, "chunk-b"},
      {"\"offset\": 447,", 2000.0, "tick-0"},
  };
  for (const auto &c : cases) {
    auto expected = HexBytes(test::TranscriptBytes(t04, c.anchor, "bytes"));
    EXPECT_EQ(Encode(c.ts, c.value), expected) << c.anchor;
  }
  auto one = HexBytes(test::TranscriptBytes(t04, "\"offset\": 0,", "bytes"));
  EXPECT_EQ(StringTestPatterns(1), one + one);
}

std::vector<StringSample> DecodeRecorded(const std::string &reply, std::size_t step, bool &ok) {
  FeedReplyParser parser(test::kTranscriptUid);
  std::vector<StringSample> samples;
  std::size_t pos = 0;
  FeedReplyStatus status = FeedReplyStatus::kNeedMore;
  while (status == FeedReplyStatus::kNeedMore && pos < reply.size()) {
    status = parser.Feed(std::string_view(reply).substr(pos, step));
    pos += step;
  }
  EXPECT_EQ(status, FeedReplyStatus::kOk);
  FeedSampleStream stream(1, 0.0, parser.Header().big_endian);
  ok = stream.Feed(parser.Remainder(), samples);
  for (; pos < reply.size(); pos += step)
    ok = stream.Feed(std::string_view(reply).substr(pos, step), samples) && ok;
  EXPECT_TRUE(stream.TestPatternsVerified());
  return samples;
}

TEST(SampleReplay, DecodesTheWholeRecordedDataConnection) {
  const auto reply = test::TranscriptStream(test::ReadTranscript("04_streamfeed.json"), "s2c");
  for (std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{157}, reply.size()}) {
    SCOPED_TRACE(step);
    bool ok = false;
    const std::vector<StringSample> s = DecodeRecorded(reply, step, ok);
    EXPECT_TRUE(ok);
    const auto &markers = test::Transcript04Markers();
    ASSERT_EQ(s.size(), markers.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
      EXPECT_EQ(s[i].values, std::vector<std::string>{markers[i].first}) << i;
      EXPECT_EQ(s[i].timestamp, markers[i].second) << i;
    }
  }
}

TEST(SampleReplay, DecodesTheRecordedBigEndianAndMinimalConnections) {
  auto t06 = test::ReadTranscript("06_streamfeed_variants.json");
  struct Case {
    const char *exchange;
    bool big_endian;
    const char *first;
    double first_ts;
  };
  for (auto c : {Case{"tcp_streamfeed_bigendian_client", true, "tick-36", 2036.0},
                 Case{"tcp_streamfeed_minimal", false, "tick-31", 2031.0}}) {
    FeedReplyParser parser("");
    ASSERT_EQ(parser.Feed(test::TranscriptBytes(t06, c.exchange, "received")),
              FeedReplyStatus::kOk);
    FeedSampleStream stream(1, 0.0, c.big_endian);
    std::vector<StringSample> s;
    EXPECT_TRUE(stream.Feed(parser.Remainder(), s));
    ASSERT_EQ(s.size(), 5u) << c.exchange;
    EXPECT_EQ(s[0].values[0], c.first);
    EXPECT_EQ(s[0].timestamp, c.first_ts);
    EXPECT_EQ(s[4].timestamp, c.first_ts + 4);
  }
}

TEST(SampleEncoding, LengthWidthsGrowWithTheString) {
  EXPECT_EQ(Encode(0.0, std::string(255, 'a'))[9], 1);
  auto wide = Encode(0.0, std::string(256, 'a'));
  EXPECT_EQ(wide[9], 4);
  EXPECT_EQ(wide.substr(10, 4), std::string("\x00\x01\x00\x00", 4));
  EXPECT_EQ(wide.size(), 1 + 8 + 1 + 4 + 256u);
  EXPECT_EQ(TestPatternValue(0), "10");
  EXPECT_EQ(TestPatternValue(1), "-11");
  EXPECT_EQ(TestPatternValue(2), "12");
  EXPECT_DOUBLE_EQ(ReadLeDouble(reinterpret_cast<const unsigned char *>(wide.data() + 1)), 0.0);
}

TEST(SampleDecoding, EveryLengthWidthInEitherByteOrder) {
  for (bool big : {false, true}) {
    for (int width : {1, 2, 4, 8}) {
      SCOPED_TRACE(width);
      FeedSampleStream stream(3, 0.0, big);
      std::vector<StringSample> out;
      const std::vector<std::string> values{"a",
                                            std::string(width == 1   ? 255
                                                        : width == 2 ? 65535
                                                                     : 70000,
                                                        'b'),
                                            ""};
      EXPECT_TRUE(
          stream.Feed(Patterns(3, big) + Sample(kTagTimestamp, 12.5, values, width, big), out));
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(out[0].timestamp, 12.5);
      EXPECT_EQ(out[0].values, values);
    }
  }
}

TEST(SampleDecoding, DeducedStampsAddTheSamplingIntervalOnRegularStreams) {
  FeedSampleStream stream(1, 4.0, false);
  std::vector<StringSample> out;
  EXPECT_TRUE(stream.Feed(Patterns(1) + Sample(1, 0, {"x"}) + Sample(2, 10.0, {"y"}) +
                              Sample(1, 0, {"z"}) + Sample(1, 0, {"w"}),
                          out));
  ASSERT_EQ(out.size(), 4u);
  // The previous stamp starts at zero on each connection; the test patterns do not count.
  EXPECT_EQ(out[0].timestamp, 0.25);
  EXPECT_EQ(out[1].timestamp, 10.0);
  EXPECT_EQ(out[2].timestamp, 10.25);
  EXPECT_EQ(out[3].timestamp, 10.5);
}

TEST(SampleDecoding, WrongTestPatternsFailTheConnection) {
  std::vector<StringSample> out;
  FeedSampleStream wrong_value(1, 0.0, false);
  EXPECT_FALSE(
      wrong_value.Feed(Sample(2, kTestPatternTimestamp, {"11"}) + Sample(2, 1.0, {"x"}), out));
  FeedSampleStream wrong_stamp(1, 0.0, false);
  EXPECT_FALSE(wrong_stamp.Feed(Sample(2, 123456.0, {"10"}), out));
  FeedSampleStream one_pattern(1, 0.0, false);
  EXPECT_FALSE(
      one_pattern.Feed(Sample(2, kTestPatternTimestamp, {"10"}) + Sample(2, 1.0, {"x"}), out));
  EXPECT_TRUE(out.empty());
  // A corrupt connection stays corrupt.
  EXPECT_FALSE(wrong_value.Feed(Patterns(1), out));
}

TEST(SampleDecoding, CorruptBytesAreRejected) {
  const std::string bad[] = {
      std::string("\x03", 1),                                       // unknown tag
      Sample(2, 1.0, {"x"}).replace(9, 1, "\x03"),                  // length width 3
      Sample(2, 1.0, {"x"}).replace(9, 1, std::string("\x00", 1)),  // length width 0
  };
  for (const std::string &b : bad) {
    FeedSampleStream stream(1, 0.0, false);
    std::vector<StringSample> out;
    EXPECT_FALSE(stream.Feed(Patterns(1) + b, out));
    EXPECT_TRUE(out.empty());
  }
}

TEST(SampleDecoding, OversizedLengthsAreRejectedBeforeAnyContentArrives) {
  StringSampleDecoder decoder(1, false, 1000);
  std::vector<StringSample> out;
  std::string huge("\x02\0\0\0\0\0\0\xf0\x3f\x08", 10);
  huge += std::string("\xff\xff\xff\xff\xff\xff\xff\x7f", 8);
  EXPECT_FALSE(decoder.Feed(huge, out));
  EXPECT_TRUE(decoder.Corrupt());

  StringSampleDecoder at_limit(1, false, 1000);
  EXPECT_TRUE(at_limit.Feed(Sample(2, 1.0, {std::string(1000, 'q')}, 4), out));
  ASSERT_EQ(out.size(), 1u);
  StringSampleDecoder over_limit(1, false, 1000);
  EXPECT_FALSE(over_limit.Feed(Sample(2, 1.0, {std::string(1001, 'q')}, 4), out));
}

TEST(SampleRoundTrip, EverySampleReadsBackExactlySplitAnywhere) {
  std::mt19937 rng(51);
  for (int i = 0; i < 60; ++i) {
    const auto channels = static_cast<std::size_t>(1 + rng() % 4);
    std::vector<StringSample> written;
    std::string bytes;
    for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n) {
      StringSample sample;
      sample.timestamp = rng() % 4 ? test::RandomDouble(rng) : kDeducedTimestamp;
      for (std::size_t k = 0; k < channels; ++k)
        sample.values.push_back(test::RandomBytes(rng, rng() % 8 ? 20 : 400));
      std::vector<std::string_view> views(sample.values.begin(), sample.values.end());
      AppendStringSample(bytes, sample.timestamp, views.data(), views.size());
      written.push_back(std::move(sample));
    }
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
      StringSampleDecoder decoder(static_cast<uint32_t>(channels), false);
      std::vector<StringSample> read;
      test::FeedInTwo(bytes, cut,
                      [&](std::string_view piece) { EXPECT_TRUE(decoder.Feed(piece, read)); });
      ASSERT_EQ(read.size(), written.size()) << "cut at " << cut;
      for (std::size_t s = 0; s < read.size(); ++s) {
        EXPECT_EQ(read[s].values, written[s].values);
        // Bit for bit: the stamp travels as the 8 bytes of the double.
        EXPECT_EQ(std::memcmp(&read[s].timestamp, &written[s].timestamp, sizeof(double)), 0);
      }
    }
  }
}

}  // namespace
}  // namespace maroquint::lsl::core
