#include "core/stream_info.h"

#include "stream_fixtures.h"
#include "transcript.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <clocale>

namespace lsl::core {
namespace {

using test::transcript_info;

std::shared_ptr<const pugi::xml_document> desc_with_note() {
  auto doc = std::make_shared<pugi::xml_document>();
  doc->append_child("desc").append_child("note").text().set("capture run");
  return doc;
}

TEST(StreamInfoXml, ShortFormMatchesTheDiscoveryReplyOfTranscript01ByteForByte) {
  auto t01 = test::read_transcript("01_discovery_default_config.json");
  auto reply = test::transcript_bytes(t01, "first_reply", "payload");
  auto xml = reply.substr(reply.find("\r\n") + 2);
  EXPECT_EQ(to_short_xml(transcript_info()), xml);
  EXPECT_EQ(xml.size(), 655u);
}

TEST(StreamInfoXml, FullFormMatchesTheFullinfoAnswerOfTranscript03ByteForByte) {
  auto t03 = test::read_transcript("03_fullinfo_and_tcp_shortinfo.json");
  auto expected = test::transcript_bytes(t03, "", "response");
  auto info = transcript_info();
  info.desc = desc_with_note();
  EXPECT_EQ(to_full_xml(info), expected);
  EXPECT_EQ(expected.size(), 689u);
  EXPECT_EQ(to_short_xml(info), test::transcript_bytes(t03, "tcp_shortinfo_match", "received"));
}

TEST(StreamInfoXml, TextIsEscaped) {
  auto info = transcript_info();
  info.name = "a<b>&c";
  auto xml = to_short_xml(info);
  EXPECT_NE(xml.find("<name>a&lt;b&gt;&amp;c</name>"), std::string::npos);
  auto back = parse_xml(xml);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name, "a<b>&c");
}

TEST(StreamInfoXml, NumbersIgnoreTheProcessLocale) {
  const char *old = std::setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  bool switched = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  EXPECT_EQ(format_number_showpoint(1.1), "1.100000000000000");
  EXPECT_EQ(format_number(1363.856082562), "1363.856082562");
  EXPECT_EQ(parse_double("1.5"), 1.5);
  std::setlocale(LC_ALL, saved.c_str());
  if (!switched) GTEST_LOG_(INFO) << "de_DE locale not installed; checked in the C locale only";
}

TEST(StreamInfoXml, NumberFormatsAreThoseOfPrintf) {
  EXPECT_EQ(format_number_showpoint(0.0), "0.000000000000000");
  EXPECT_EQ(format_number_showpoint(100.0), "100.0000000000000");
  EXPECT_EQ(format_number_showpoint(1362.336449254), "1362.336449254000");
  EXPECT_EQ(format_number(1364.04886715), "1364.04886715");
  EXPECT_EQ(format_number(123456.789), "123456.789");
}

TEST(StreamInfoParse, RoundTripsEveryFieldAndTheDesc) {
  auto info = transcript_info();
  info.desc = desc_with_note();
  info.v4address = "127.0.0.1";
  auto back = parse_xml(to_full_xml(info));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name, info.name);
  EXPECT_EQ(back->type, info.type);
  EXPECT_EQ(back->channel_count, 1);
  EXPECT_EQ(back->channel_format, ChannelFormat::string);
  EXPECT_EQ(back->source_id, info.source_id);
  EXPECT_EQ(back->version, 110);
  EXPECT_DOUBLE_EQ(back->created_at, info.created_at);
  EXPECT_EQ(back->uid, info.uid);
  EXPECT_EQ(back->session_id, "default");
  EXPECT_EQ(back->hostname, "vm");
  EXPECT_EQ(back->v4address, "127.0.0.1");
  EXPECT_EQ(back->v4data_port, 16572);
  EXPECT_EQ(back->v6service_port, 16573);
  ASSERT_TRUE(back->desc);
  EXPECT_STREQ(back->desc->child("desc").child("note").child_value(), "capture run");
  EXPECT_EQ(to_full_xml(*back), to_full_xml(info));
}

TEST(StreamInfoParse, ReadsTheRealOutletsReplies) {
  auto t02 = test::read_transcript("02_discovery_machine_scope.json");
  auto reply = test::transcript_bytes(t02, "first_reply", "payload");
  auto info = parse_xml(reply.substr(reply.find("\r\n") + 2));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->uid, "7542c9dd-f404-4677-ad9e-42323fda7587");
  EXPECT_DOUBLE_EQ(info->created_at, 1396.772526924);
}

TEST(StreamInfoParse, RejectsWhatLiblslRejects) {
  auto good = to_short_xml(transcript_info());
  auto with = [&](const std::string &from, const std::string &to) {
    auto s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  std::string why;
  EXPECT_FALSE(parse_xml(with("<name>TranscriptTest</name>", "<name></name>"), &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(parse_xml(with("<channel_count>1<", "<channel_count>-1<")));
  EXPECT_FALSE(parse_xml(with("<channel_count>1<", "<channel_count>x<")));
  EXPECT_FALSE(parse_xml(with(">string<", ">text<")));
  EXPECT_FALSE(parse_xml(with("<nominal_srate>0.000000000000000<", "<nominal_srate>-1<")));
  EXPECT_FALSE(parse_xml(with("<version>1.100000000000000<", "<version>0<")));
  EXPECT_FALSE(parse_xml(with("<v4data_port>16572<", "<v4data_port>70000<")));
  EXPECT_FALSE(parse_xml(with("<v6service_port>16573</v6service_port>", "")));
  EXPECT_FALSE(parse_xml(with("<uid>63872864-b28e-47cc-b59d-43105981592e</uid>", "<uid/>")));
  EXPECT_FALSE(parse_xml(good.substr(0, good.size() / 2)));
  EXPECT_FALSE(parse_xml("not xml at all"));
  EXPECT_FALSE(parse_xml(""));
  EXPECT_FALSE(parse_xml(good, nullptr, good.size() - 1));
  EXPECT_TRUE(parse_xml(good, nullptr, good.size()));
}

TEST(ChannelFormat, NamesAndValuesMatchLiblsl) {
  EXPECT_STREQ(channel_format_name(ChannelFormat::string), "string");
  EXPECT_STREQ(channel_format_name(ChannelFormat::int64), "int64");
  EXPECT_EQ(channel_format_name(ChannelFormat::undefined), nullptr);
  EXPECT_EQ(channel_format_name(static_cast<ChannelFormat>(9)), nullptr);
  EXPECT_EQ(parse_channel_format("double64"), ChannelFormat::double64);
  EXPECT_EQ(static_cast<int>(ChannelFormat::string), 3);
  EXPECT_FALSE(parse_channel_format("String"));
}

}  // namespace
}  // namespace lsl::core
