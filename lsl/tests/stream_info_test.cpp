#include "core/stream_info.h"

#include "stream_fixtures.h"
#include "transcript.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <clocale>

namespace maroquint::lsl::core {
namespace {

using test::TranscriptInfo;

std::shared_ptr<const pugi::xml_document> DescWithNote() {
  auto doc = std::make_shared<pugi::xml_document>();
  doc->append_child("desc").append_child("note").text().set("capture run");
  return doc;
}

TEST(StreamInfoXml, ShortFormMatchesTheDiscoveryReplyOfTranscript01ByteForByte) {
  auto t01 = test::ReadTranscript("01_discovery_default_config.json");
  auto reply = test::TranscriptBytes(t01, "first_reply", "payload");
  auto xml = reply.substr(reply.find("\r\n") + 2);
  EXPECT_EQ(ToShortXml(TranscriptInfo()), xml);
  EXPECT_EQ(xml.size(), 655u);
}

TEST(StreamInfoXml, FullFormMatchesTheFullinfoAnswerOfTranscript03ByteForByte) {
  auto t03 = test::ReadTranscript("03_fullinfo_and_tcp_shortinfo.json");
  auto expected = test::TranscriptBytes(t03, "", "response");
  auto info = TranscriptInfo();
  info.desc = DescWithNote();
  EXPECT_EQ(ToFullXml(info), expected);
  EXPECT_EQ(expected.size(), 689u);
  EXPECT_EQ(ToShortXml(info), test::TranscriptBytes(t03, "tcp_shortinfo_match", "received"));
}

TEST(StreamInfoXml, TextIsEscaped) {
  auto info = TranscriptInfo();
  info.name = "a<b>&c";
  auto xml = ToShortXml(info);
  EXPECT_NE(xml.find("<name>a&lt;b&gt;&amp;c</name>"), std::string::npos);
  auto back = ParseXml(xml);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name, "a<b>&c");
}

TEST(StreamInfoXml, NumbersIgnoreTheProcessLocale) {
  const char *old = std::setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  bool switched = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  EXPECT_EQ(FormatNumberShowpoint(1.1), "1.100000000000000");
  EXPECT_EQ(FormatNumber(1363.856082562), "1363.856082562");
  EXPECT_EQ(ParseDouble("1.5"), 1.5);
  std::setlocale(LC_ALL, saved.c_str());
  if (!switched) GTEST_LOG_(INFO) << "de_DE locale not installed; checked in the C locale only";
}

TEST(StreamInfoXml, NumberFormatsAreThoseOfPrintf) {
  EXPECT_EQ(FormatNumberShowpoint(0.0), "0.000000000000000");
  EXPECT_EQ(FormatNumberShowpoint(100.0), "100.0000000000000");
  EXPECT_EQ(FormatNumberShowpoint(1362.336449254), "1362.336449254000");
  EXPECT_EQ(FormatNumber(1364.04886715), "1364.04886715");
  EXPECT_EQ(FormatNumber(123456.789), "123456.789");
}

TEST(StreamInfoXml, NumbersTakeOneSignAtMost) {
  EXPECT_EQ(ParseInt(" +5 "), 5);
  EXPECT_EQ(ParseInt("-5"), -5);
  EXPECT_EQ(ParseDouble("+1.5"), 1.5);
  for (const char *twice : {"+-5", "-+5", "++5", "--5"}) {
    EXPECT_FALSE(ParseInt(twice)) << twice;
    EXPECT_FALSE(ParseDouble(twice)) << twice;
  }
}

TEST(StreamInfoParse, RoundTripsEveryFieldAndTheDesc) {
  auto info = TranscriptInfo();
  info.desc = DescWithNote();
  info.v4address = "127.0.0.1";
  auto back = ParseXml(ToFullXml(info));
  ASSERT_TRUE(back);
  // Every field is written, so a field read wrong writes differently.
  EXPECT_EQ(ToFullXml(*back), ToFullXml(info));
  ASSERT_TRUE(back->desc);
  EXPECT_STREQ(back->desc->child("desc").child("note").child_value(), "capture run");
}

TEST(StreamInfoParse, ReadsTheRealOutletsReplies) {
  auto t02 = test::ReadTranscript("02_discovery_machine_scope.json");
  auto reply = test::TranscriptBytes(t02, "first_reply", "payload");
  auto info = ParseXml(reply.substr(reply.find("\r\n") + 2));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->uid, "7542c9dd-f404-4677-ad9e-42323fda7587");
  EXPECT_DOUBLE_EQ(info->created_at, 1396.772526924);
}

TEST(StreamInfoParse, RejectsWhatLiblslRejects) {
  auto good = ToShortXml(TranscriptInfo());
  auto with = [&](const std::string &from, const std::string &to) {
    auto s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  std::string why;
  EXPECT_FALSE(ParseXml(with("<name>TranscriptTest</name>", "<name></name>"), &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(ParseXml(with("<channel_count>1<", "<channel_count>-1<")));
  EXPECT_FALSE(ParseXml(with("<channel_count>1<", "<channel_count>x<")));
  EXPECT_FALSE(ParseXml(with(">string<", ">text<")));
  EXPECT_FALSE(ParseXml(with("<nominal_srate>0.000000000000000<", "<nominal_srate>-1<")));
  EXPECT_FALSE(ParseXml(with("<version>1.100000000000000<", "<version>0<")));
  EXPECT_FALSE(ParseXml(with("<v4data_port>16572<", "<v4data_port>70000<")));
  EXPECT_FALSE(ParseXml(with("<v6service_port>16573</v6service_port>", "")));
  EXPECT_FALSE(ParseXml(with("<uid>63872864-b28e-47cc-b59d-43105981592e</uid>", "<uid/>")));
  EXPECT_FALSE(ParseXml(good.substr(0, good.size() / 2)));
  EXPECT_FALSE(ParseXml("not xml at all"));
  EXPECT_FALSE(ParseXml(""));
  EXPECT_FALSE(ParseXml(good, nullptr, good.size() - 1));
  EXPECT_TRUE(ParseXml(good, nullptr, good.size()));
}

TEST(ChannelFormat, NamesAndValuesMatchLiblsl) {
  EXPECT_STREQ(ChannelFormatName(ChannelFormat::kString), "string");
  EXPECT_STREQ(ChannelFormatName(ChannelFormat::kInt64), "int64");
  EXPECT_EQ(ChannelFormatName(ChannelFormat::kUndefined), nullptr);
  EXPECT_EQ(ChannelFormatName(static_cast<ChannelFormat>(9)), nullptr);
  EXPECT_EQ(ParseChannelFormat("double64"), ChannelFormat::kDouble64);
  EXPECT_EQ(static_cast<int>(ChannelFormat::kString), 3);
  EXPECT_FALSE(ParseChannelFormat("String"));
}

}  // namespace
}  // namespace maroquint::lsl::core
