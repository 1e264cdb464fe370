#include "core/sample.h"

#include "transcript.h"

#include <gtest/gtest.h>

#include <vector>

namespace lsl::core {
namespace {

std::string hex_bytes(const std::string &spaced_hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < spaced_hex.size(); i += 3)
    out += static_cast<char>(std::stoi(spaced_hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string encode(double ts, const std::string &value) {
  std::string out;
  const char *channels[] = {value.c_str()};
  append_string_sample(out, ts, channels, 1);
  return out;
}

TEST(SampleEncoding, EverySampleOfTranscript04) {
  auto t04 = test::read_transcript("04_streamfeed.json");
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
      {"\"offset\": 447,", 2000.0, "tick-0"},
  };
  for (const auto &c : cases) {
    auto expected = hex_bytes(test::transcript_bytes(t04, c.anchor, "bytes"));
    EXPECT_EQ(encode(c.ts, c.value), expected) << c.anchor;
  }
}

TEST(SampleEncoding, DeducedTimeStampWritesTagOneAndNoStamp) {
  auto t04 = test::read_transcript("04_streamfeed.json");
  EXPECT_EQ(encode(kDeducedTimestamp, "chunk-b"),
            hex_bytes(test::transcript_bytes(t04, "\"offset\": 427,", "bytes")));
}

TEST(SampleEncoding, LengthWidthsGrowWithTheString) {
  EXPECT_EQ(encode(0.0, std::string(255, 'a'))[9], 1);
  auto wide = encode(0.0, std::string(256, 'a'));
  EXPECT_EQ(wide[9], 4);
  EXPECT_EQ(wide.substr(10, 4), std::string("\x00\x01\x00\x00", 4));
  EXPECT_EQ(wide.size(), 1 + 8 + 1 + 4 + 256u);
}

TEST(SampleEncoding, SeveralChannelsFollowEachOther) {
  std::string out;
  const char *channels[] = {"a", "", "bc"};
  append_string_sample(out, 1.0, channels, 3);
  EXPECT_EQ(out.substr(9), std::string("\x01\x01"
                                       "a"
                                       "\x01\x00"
                                       "\x01\x02"
                                       "bc",
                                       9));
  EXPECT_DOUBLE_EQ(read_le_double(reinterpret_cast<const unsigned char *>(out.data() + 1)), 1.0);
}

TEST(TestPatterns, StringPatternsOfTranscript04) {
  auto t04 = test::read_transcript("04_streamfeed.json");
  auto one = hex_bytes(test::transcript_bytes(t04, "\"offset\": 0,", "bytes"));
  EXPECT_EQ(string_test_patterns(1), one + one);
  EXPECT_EQ(test_pattern_value(0), "10");
  EXPECT_EQ(test_pattern_value(1), "-11");
  EXPECT_EQ(test_pattern_value(2), "12");
  auto three = string_test_patterns(3);
  EXPECT_EQ(three.size(), 2 * (9 + 4 + 5 + 4u));
  EXPECT_NE(three.find(std::string("\x01\x03-11", 5)), std::string::npos);
}

}  // namespace
}  // namespace lsl::core
