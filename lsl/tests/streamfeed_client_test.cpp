#include "core/streamfeed_client.h"

#include "core/sample.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "consumer_transcripts.h"

namespace lsl::core {
namespace {

using testdata::kT04Reply;
using testdata::kT04Request;

TEST(FeedRequest, MatchesTheRequestOfALiblslInletLineForLine) {
  FeedRequest r;
  r.uid = "63872864-b28e-47cc-b59d-43105981592e";
  r.hostname = "vm";
  r.source_id = "transcript-source-1";
  r.session_id = "default";
  r.max_buffer_length = feed_buffer_length(360, 0.0);
  r.max_chunk_length = 0;
  const std::string ours = build_feed_request(r);
  // liblsl measures its swap speed for Endian-Performance; every other line is fixed.
  std::string theirs = kT04Request;
  const std::string measured = "Endian-Performance: 1.31668e+07\r\n";
  theirs.replace(theirs.find(measured), measured.size(), "Endian-Performance: 0\r\n");
  EXPECT_EQ(ours, theirs);
}

TEST(FeedRequest, BufferLengthIsHundredsOfSamplesForIrregularAndSecondsForRegularStreams) {
  EXPECT_EQ(feed_buffer_length(360, 0.0), 36000);
  EXPECT_EQ(feed_buffer_length(1, 0.0), 100);
  EXPECT_EQ(feed_buffer_length(10, 250.0), 2500);
  EXPECT_EQ(feed_buffer_length(0, 0.0), 36000);
  EXPECT_EQ(feed_buffer_length(360, 1e9), 2147483647);
}

std::vector<StringSample> DecodeAll(const std::string &reply, std::size_t step,
                                    bool *ok = nullptr) {
  FeedReplyParser parser("63872864-b28e-47cc-b59d-43105981592e");
  std::vector<StringSample> samples;
  std::size_t pos = 0;
  FeedReplyStatus status = FeedReplyStatus::need_more;
  while (status == FeedReplyStatus::need_more && pos < reply.size()) {
    status = parser.feed(std::string_view(reply).substr(pos, step));
    pos += step;
  }
  EXPECT_EQ(status, FeedReplyStatus::ok);
  FeedSampleStream stream(1, 0.0, parser.header().big_endian);
  bool good = stream.feed(parser.remainder(), samples);
  for (; pos < reply.size(); pos += step) {
    good = stream.feed(std::string_view(reply).substr(pos, step), samples) && good;
  }
  EXPECT_TRUE(stream.test_patterns_verified());
  if (ok != nullptr) *ok = good;
  return samples;
}

TEST(FeedReply, DecodesTheWholeRecordedDataConnection) {
  ASSERT_EQ(kT04Reply.size(), 612u);
  for (std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{157}, kT04Reply.size()}) {
    SCOPED_TRACE(step);
    bool ok = false;
    const std::vector<StringSample> s = DecodeAll(kT04Reply, step, &ok);
    EXPECT_TRUE(ok);
    ASSERT_EQ(s.size(), 10u);
    EXPECT_EQ(s[0].timestamp, 1364.855880282);
    EXPECT_EQ(s[0].values, std::vector<std::string>{"start"});
    EXPECT_EQ(s[1].timestamp, 1000.5);
    EXPECT_EQ(s[1].values[0], "explicit-ts");
    EXPECT_EQ(s[2].timestamp, 1001.25);
    EXPECT_EQ(s[2].values[0], "");
    EXPECT_EQ(s[3].timestamp, 1002.0);
    EXPECT_EQ(s[3].values[0], std::string(300, 'L'));
    EXPECT_EQ(s[4].timestamp, 1003.0);
    EXPECT_EQ(s[4].values[0], "caf\xc3\xa9-\xe2\x9c\x93");
    // The chunk's later samples carry deduced stamps: the same stamp on an irregular stream.
    for (int k = 5; k < 8; ++k) EXPECT_EQ(s[k].timestamp, 1004.0);
    EXPECT_EQ(s[5].values[0], "chunk-a");
    EXPECT_EQ(s[6].values[0], "chunk-b");
    EXPECT_EQ(s[7].values[0], "chunk-c");
    EXPECT_EQ(s[8].timestamp, 2000.0);
    EXPECT_EQ(s[9].values[0], "tick-1");
  }
}

TEST(FeedReply, KeepsEverythingAfterTheHeaderOfALargeFirstRead) {
  // One socket read may hold the header and far more than a header's worth of samples.
  std::string samples;
  for (int i = 0; i < 3000; ++i) samples += kT04Reply.substr(131 + 26, 16);
  FeedReplyParser parser("63872864-b28e-47cc-b59d-43105981592e");
  ASSERT_EQ(parser.feed(kT04Reply.substr(0, 131 + 26) + samples), FeedReplyStatus::ok);
  EXPECT_EQ(parser.remainder().size(), 26 + samples.size());
  FeedSampleStream stream(1, 0.0, false);
  std::vector<StringSample> out;
  EXPECT_TRUE(stream.feed(parser.remainder(), out));
  ASSERT_EQ(out.size(), 3000u);
  EXPECT_EQ(out.back().values[0], "start");
  EXPECT_EQ(out.back().timestamp, 1364.855880282);
}

TEST(FeedReply, ReadsTheHeaderFields) {
  FeedReplyParser parser("63872864-b28e-47cc-b59d-43105981592e");
  ASSERT_EQ(parser.feed(kT04Reply), FeedReplyStatus::ok);
  EXPECT_FALSE(parser.header().big_endian);
  EXPECT_EQ(parser.header().data_protocol_version, 110);
  EXPECT_EQ(parser.header().uid, "63872864-b28e-47cc-b59d-43105981592e");
  EXPECT_EQ(parser.remainder().size(), 612u - 131u);
}

TEST(FeedReply, HonoursBigEndianByteOrder) {
  const std::string &reply = testdata::kT06BigEndianReply;
  FeedReplyParser parser("");
  ASSERT_EQ(parser.feed(reply), FeedReplyStatus::ok);
  EXPECT_TRUE(parser.header().big_endian);
  FeedSampleStream stream(1, 0.0, true);
  std::vector<StringSample> s;
  EXPECT_TRUE(stream.feed(parser.remainder(), s));
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(s[0].timestamp, 2036.0);
  EXPECT_EQ(s[0].values[0], "tick-36");
  EXPECT_EQ(s[4].timestamp, 2040.0);
}

TEST(FeedReply, AcceptsAReplyToARequestWithoutUid) {
  FeedReplyParser parser("");
  ASSERT_EQ(parser.feed(testdata::kT06MinimalReply), FeedReplyStatus::ok);
  FeedSampleStream stream(1, 0.0, false);
  std::vector<StringSample> s;
  EXPECT_TRUE(stream.feed(parser.remainder(), s));
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(s[0].values[0], "tick-31");
}

TEST(FeedReply, ErrorStatusLinesWithoutLineEndCountOnceThePeerCloses) {
  FeedReplyParser not_found("63872864-b28e-47cc-b59d-43105981592e");
  EXPECT_EQ(not_found.feed(testdata::kT06WrongUidReply), FeedReplyStatus::need_more);
  EXPECT_EQ(not_found.finish(), FeedReplyStatus::not_found);

  FeedReplyParser too_new("63872864-b28e-47cc-b59d-43105981592e");
  EXPECT_EQ(too_new.feed(testdata::kT06Version200Reply), FeedReplyStatus::need_more);
  EXPECT_EQ(too_new.finish(), FeedReplyStatus::version_not_supported);

  FeedReplyParser with_line_end("x");
  EXPECT_EQ(with_line_end.feed("LSL/110 404 Not found\r\n"), FeedReplyStatus::not_found);
}

TEST(FeedReply, RefusesLegacyAndNewerDataProtocols) {
  FeedReplyParser legacy("63872864-b28e-47cc-b59d-43105981592e");
  EXPECT_EQ(legacy.feed(testdata::kT06LegacyHeaderReply), FeedReplyStatus::unsupported);

  FeedReplyParser missing("");
  EXPECT_EQ(missing.feed("LSL/110 200 OK\r\nByte-Order: 1234\r\n\r\n"),
            FeedReplyStatus::unsupported);

  FeedReplyParser newer("");
  EXPECT_EQ(newer.feed("LSL/110 200 OK\r\nData-Protocol-Version: 111\r\n\r\n"),
            FeedReplyStatus::version_not_supported);

  FeedReplyParser major("");
  EXPECT_EQ(major.feed("LSL/200 200 OK\r\nData-Protocol-Version: 110\r\n\r\n"),
            FeedReplyStatus::version_not_supported);
}

TEST(FeedReply, RejectsMalformedOrForeignReplies) {
  const char *bad[] = {
      "HTTP/1.1 200 OK\r\n\r\n",
      "LSL/110\r\n\r\n",
      "LSL/abc 200 OK\r\n\r\n",
      "LSL/110 2x0 OK\r\n\r\n",
      "LSL/110 200 OK\r\nByte-Order: 1111\r\nData-Protocol-Version: 110\r\n\r\n",
      "LSL/110 200 OK\r\nData-Protocol-Version: many\r\n\r\n",
  };
  for (const char *reply : bad) {
    SCOPED_TRACE(reply);
    FeedReplyParser p("");
    EXPECT_EQ(p.feed(reply), FeedReplyStatus::malformed);
  }
  FeedReplyParser other_uid("63872864-b28e-47cc-b59d-43105981592e");
  EXPECT_EQ(
      other_uid.feed("LSL/110 200 OK\r\nUID: someone-else\r\nData-Protocol-Version: 110\r\n\r\n"),
      FeedReplyStatus::not_found);

  FeedReplyParser truncated("");
  EXPECT_EQ(truncated.feed("LSL/110 200 OK\r\nData-Protocol"), FeedReplyStatus::need_more);
  EXPECT_EQ(truncated.finish(), FeedReplyStatus::malformed);

  FeedReplyParser refused("");
  EXPECT_EQ(refused.feed("LSL/110 400 Bad request\r\n"), FeedReplyStatus::refused);
}

TEST(FeedReply, AnEndlessHeaderIsCutOff) {
  FeedReplyParser p("");
  EXPECT_EQ(p.feed("LSL/110 200 OK\r\n"), FeedReplyStatus::need_more);
  FeedReplyStatus s = FeedReplyStatus::need_more;
  for (int i = 0; i < 1000 && s == FeedReplyStatus::need_more; ++i)
    s = p.feed("X-Padding: aaaaaaaaaaaa\r\n");
  EXPECT_EQ(s, FeedReplyStatus::malformed);

  FeedReplyParser no_newline("");
  s = FeedReplyStatus::need_more;
  for (int i = 0; i < 1000 && s == FeedReplyStatus::need_more; ++i)
    s = no_newline.feed(std::string(100, 'L'));
  EXPECT_EQ(s, FeedReplyStatus::malformed);
}

std::string Sample(unsigned char tag, double ts, const std::vector<std::string> &values,
                   int width = 1, bool big_endian = false) {
  std::string out(1, static_cast<char>(tag));
  auto put = [&](std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) {
      const int shift = big_endian ? 8 * (n - 1 - i) : 8 * i;
      out += static_cast<char>((v >> shift) & 0xff);
    }
  };
  if (tag == 2) {
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
  for (std::uint32_t k = 0; k < channels; ++k) values.push_back(test_pattern_value(k));
  const std::string p = Sample(2, kTestPatternTimestamp, values, 1, big_endian);
  return p + p;
}

TEST(StringSamples, EveryLengthWidthInEitherByteOrder) {
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
      EXPECT_TRUE(stream.feed(Patterns(3, big) + Sample(2, 12.5, values, width, big), out));
      ASSERT_EQ(out.size(), 1u);
      EXPECT_EQ(out[0].timestamp, 12.5);
      EXPECT_EQ(out[0].values, values);
    }
  }
}

TEST(StringSamples, DeducedStampsAddTheSamplingIntervalOnRegularStreams) {
  FeedSampleStream stream(1, 4.0, false);
  std::vector<StringSample> out;
  EXPECT_TRUE(stream.feed(Patterns(1) + Sample(1, 0, {"x"}) + Sample(2, 10.0, {"y"}) +
                              Sample(1, 0, {"z"}) + Sample(1, 0, {"w"}),
                          out));
  ASSERT_EQ(out.size(), 4u);
  // The previous stamp starts at zero on each connection; the test patterns do not count.
  EXPECT_EQ(out[0].timestamp, 0.25);
  EXPECT_EQ(out[1].timestamp, 10.0);
  EXPECT_EQ(out[2].timestamp, 10.25);
  EXPECT_EQ(out[3].timestamp, 10.5);
}

TEST(StringSamples, WrongTestPatternsFailTheConnection) {
  std::vector<StringSample> out;
  FeedSampleStream wrong_value(1, 0.0, false);
  EXPECT_FALSE(
      wrong_value.feed(Sample(2, kTestPatternTimestamp, {"11"}) + Sample(2, 1.0, {"x"}), out));
  FeedSampleStream wrong_stamp(1, 0.0, false);
  EXPECT_FALSE(wrong_stamp.feed(Sample(2, 123456.0, {"10"}), out));
  FeedSampleStream one_pattern(1, 0.0, false);
  EXPECT_FALSE(
      one_pattern.feed(Sample(2, kTestPatternTimestamp, {"10"}) + Sample(2, 1.0, {"x"}), out));
  EXPECT_TRUE(out.empty());
  // A corrupt connection stays corrupt.
  EXPECT_FALSE(wrong_value.feed(Patterns(1), out));
}

TEST(StringSamples, CorruptBytesAreRejected) {
  const std::string bad[] = {
      std::string("\x03", 1),                                       // unknown tag
      Sample(2, 1.0, {"x"}).replace(9, 1, "\x03"),                  // length width 3
      Sample(2, 1.0, {"x"}).replace(9, 1, std::string("\x00", 1)),  // length width 0
  };
  for (const std::string &b : bad) {
    FeedSampleStream stream(1, 0.0, false);
    std::vector<StringSample> out;
    EXPECT_FALSE(stream.feed(Patterns(1) + b, out));
    EXPECT_TRUE(out.empty());
  }
}

TEST(StringSamples, OversizedLengthsAreRejectedBeforeAnyContentArrives) {
  StringSampleDecoder decoder(1, false, 1000);
  std::vector<StringSample> out;
  std::string huge("\x02\0\0\0\0\0\0\xf0\x3f\x08", 10);
  huge += std::string("\xff\xff\xff\xff\xff\xff\xff\x7f", 8);
  EXPECT_FALSE(decoder.feed(huge, out));
  EXPECT_TRUE(decoder.corrupt());

  StringSampleDecoder at_limit(1, false, 1000);
  EXPECT_TRUE(at_limit.feed(Sample(2, 1.0, {std::string(1000, 'q')}, 4), out));
  ASSERT_EQ(out.size(), 1u);
  StringSampleDecoder over_limit(1, false, 1000);
  EXPECT_FALSE(over_limit.feed(Sample(2, 1.0, {std::string(1001, 'q')}, 4), out));
}

}  // namespace
}  // namespace lsl::core
