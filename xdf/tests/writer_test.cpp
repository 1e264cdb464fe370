#include "writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace maroquint::xdf {
namespace {

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The reference file was written by LabRecorder's writer: our chunks must be
// byte for byte the same where the content is the same.
TEST(XdfWriter, HeaderAndBoundaryAreLabRecordersBytes) {
  const std::string reference = ReadFile(MAROQUINT_XDF_TEST_DATA "/minimal.xdf");
  const std::string header = FileHeader();
  ASSERT_GT(reference.size(), header.size());
  EXPECT_EQ(reference.substr(0, header.size()), header);
  EXPECT_NE(reference.find(Boundary()), std::string::npos);
  EXPECT_EQ(Boundary().size(), 1u + 1u + 2u + 16u);
}

TEST(XdfWriter, ChunksHaveTheLayoutOfTheFormat) {
  using namespace std::string_literals;
  // length 22 (tag + id + two doubles), tag 4, id 7, 1.5, -0.25
  EXPECT_EQ(ClockOffset(7, 1.5, -0.25),
            "\x01\x16\x04\x00\x07\x00\x00\x00"
            "\x00\x00\x00\x00\x00\x00\xF8\x3F"
            "\x00\x00\x00\x00\x00\x00\xD0\xBF"s);
  // One sample with a stamp, one deduced; strings with their lengths.
  EXPECT_EQ(StringSamplesChunk(2, {{1.0, {"ab"}}, {std::nullopt, {""}}}),
            "\x01\x18\x03\x00\x02\x00\x00\x00\x01\x02"
            "\x08\x00\x00\x00\x00\x00\x00\xF0\x3F\x01\x02"
            "ab\x00\x01\x00"s);
  NumericSamples numeric{ChannelFormat::kInt16, 2, {std::nullopt}, {-2, 70000}};
  EXPECT_EQ(NumericSamplesChunk(1, numeric),
            "\x01\x0D\x03\x00\x01\x00\x00\x00\x01\x01\x00\xFE\xFF\xFF\x7F"s);
}

TEST(XdfWriter, LengthsTakeTheShortestWidth) {
  const std::string long_text(300, 'x');
  const std::string chunk = StringSamplesChunk(1, {{0.0, {long_text}}});
  ASSERT_EQ(chunk[0], 4);  // chunk length > 255
  // ...and the string's own length, after stream id, count and stamp.
  EXPECT_EQ(chunk.substr(1 + 4 + 2 + 4 + 2 + 9, 3), std::string("\x04\x2C\x01", 3));
  const std::string header = StreamHeader(1, "<info/>");
  EXPECT_EQ(header.substr(0, 2), std::string("\x01\x22", 2));  // tag, id, declaration, XML
  EXPECT_NE(header.find("<?xml version=\"1.0\"?><info/>"), std::string::npos);
}

TEST(XdfWriter, FooterAndNumbersReadBackExactly) {
  FooterInfo footer{0.1, 12345.678901234567, 3, {{2.5, -1e-5}}};
  const std::string chunk = StreamFooter(9, footer);
  EXPECT_NE(chunk.find("<first_timestamp>0.10000000000000001</first_timestamp>"),
            std::string::npos);
  EXPECT_NE(chunk.find("<sample_count>3</sample_count>"), std::string::npos);
  EXPECT_NE(chunk.find("<offset><time>2.5</time><value>-1.0000000000000001e-05</value></offset>"),
            std::string::npos);
  EXPECT_EQ(std::stod(FormatDouble(12345.678901234567)), 12345.678901234567);
}

}  // namespace
}  // namespace maroquint::xdf
