#include "core/query.h"

#include "core/stream_info.h"
#include "stream_fixtures.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

namespace lsl::core {
namespace {

// The transcripts' stream with a desc tree for the paths to reach into.
StreamInfo marker_stream() {
  StreamInfo info = test::transcript_info();
  auto desc = std::make_shared<pugi::xml_document>();
  auto d = desc->append_child("desc");
  d.append_child("manufacturer").text().set("Maroquint Labs");
  auto ch = d.append_child("channels");
  ch.append_child("channel").append_child("label").text().set("C3");
  ch.append_child("channel").append_child("label").text().set("C4");
  info.desc = desc;
  return info;
}

bool match(std::string_view query) {
  return Query::compile(query).matches(marker_stream());
}

TEST(Query, EveryFormLiblslResolversSend) {
  EXPECT_TRUE(match("session_id='default' and type='Markers'"));
  EXPECT_TRUE(match("session_id='default' and name='TranscriptTest'"));
  EXPECT_TRUE(match("session_id='default' and source_id='transcript-source-1'"));
  EXPECT_TRUE(match("session_id='default'"));
  EXPECT_TRUE(
      match("channel_count='1' and name='TranscriptTest' and type='Markers' and "
            "source_id='transcript-source-1' and channel_format='string'"));
  EXPECT_FALSE(match("session_id='other' and type='Markers'"));
  EXPECT_FALSE(match("session_id='default' and type='EEG'"));
  EXPECT_FALSE(match("type='EEG'"));
}

TEST(Query, EmptyQueryMatchesEverything) {
  EXPECT_TRUE(match(""));
  EXPECT_TRUE(match("  \t"));
}

TEST(Query, XPathPredicatesOfTranscript01) {
  EXPECT_TRUE(match("starts-with(name,'Trans') and channel_count=1"));
  EXPECT_FALSE(match("starts-with(name,'trans') and channel_count=1"));
  EXPECT_TRUE(match("contains(source_id, \"source\")"));
}

TEST(Query, ComparisonsFollowXPath) {
  EXPECT_TRUE(match("channel_count=1"));
  EXPECT_TRUE(match("channel_count=1.0")) << "numbers compare numerically";
  EXPECT_FALSE(match("channel_count='1.0'")) << "literals compare as text";
  EXPECT_TRUE(match("channel_count!=2"));
  EXPECT_TRUE(match("channel_count>0 and channel_count<=1"));
  EXPECT_FALSE(match("missing='x'")) << "a missing element compares false";
  EXPECT_FALSE(match("missing!='x'")) << "for = and != alike";
  EXPECT_TRUE(match("not(missing='x')"));
  EXPECT_TRUE(match("'Markers'=type"));
  EXPECT_TRUE(match("name"));
  EXPECT_FALSE(match("missing"));
  EXPECT_TRUE(match("nominal_srate=0"));
  EXPECT_TRUE(match("created_at>-1"));
}

TEST(Query, AndOrNotAndParentheses) {
  EXPECT_TRUE(match("type='EEG' or type='Markers'"));
  EXPECT_FALSE(match("type='EEG' or (type='Markers' and name='x')"));
  EXPECT_TRUE(match("(type='EEG' or type='Markers') and not(name='x')"));
  EXPECT_TRUE(match("type='EEG' or type='Markers' and name='TranscriptTest'"))
      << "and binds tighter than or";
  EXPECT_FALSE(match("not(true())"));
}

TEST(Query, PathsReachIntoDesc) {
  EXPECT_TRUE(match("desc/manufacturer='Maroquint Labs'"));
  EXPECT_TRUE(match("desc/channels/channel/label='C4'")) << "any node of the set";
  EXPECT_FALSE(match("desc/channels/channel/label='C5'"));
  EXPECT_TRUE(match("desc / manufacturer = 'Maroquint Labs'"));
}

TEST(Query, AnythingUnparsableMatchesNothing) {
  for (auto q :
       {"type=", "type='Markers", "(type='Markers'", "type=='Markers'", "type='Markers' and",
        "//info", "name[1]", "unknown-fn(name)", "count(name)=1", "type='Markers')", "@name='x'",
        "type='Markers' xor 1", "starts-with(name)", "$x"}) {
    auto q2 = Query::compile(q);
    EXPECT_FALSE(q2.valid()) << q;
    EXPECT_FALSE(q2.matches(marker_stream())) << q;
  }
}

TEST(Query, BoundedInLengthAndNesting) {
  std::string deep(200, '(');
  deep += "name='TranscriptTest'" + std::string(200, ')');
  EXPECT_FALSE(Query::compile(deep).valid());
  std::string nested = "((((name='TranscriptTest'))))";
  EXPECT_TRUE(match(nested));
  std::string chain = "name='TranscriptTest'";
  while (chain.size() < 3000) chain += " and name='TranscriptTest'";
  EXPECT_FALSE(Query::compile(chain).valid()) << "too many operators";
  std::string long_literal = "name='" + std::string(kMaxQueryLength, 'x') + "'";
  EXPECT_FALSE(Query::compile(long_literal).valid());
}

TEST(QueryBuilders, TheQueriesLiblslSends) {
  EXPECT_EQ(build_session_query("default"), "session_id='default'");
  EXPECT_EQ(build_byprop_query("default", "type", "Markers"),
            "session_id='default' and type='Markers'");
  EXPECT_EQ(build_recovery_query(marker_stream()),
            "channel_count='1' and name='TranscriptTest' and type='Markers' and "
            "source_id='transcript-source-1' and channel_format='string'");
  auto nameless = marker_stream();
  nameless.type.clear();
  nameless.source_id.clear();
  EXPECT_EQ(build_recovery_query(nameless),
            "channel_count='1' and name='TranscriptTest' and channel_format='string'");
  EXPECT_TRUE(match(build_recovery_query(marker_stream())));
  EXPECT_EQ(build_byprop_query("s", "name", "it's"), "session_id='s' and name=\"it's\"");
}

}  // namespace
}  // namespace lsl::core
