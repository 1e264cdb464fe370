#include "core/query.h"

#include "core/stream_info.h"
#include "stream_fixtures.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

namespace maroquint::lsl::core {
namespace {

// The transcripts' stream with a desc tree for the paths to reach into.
StreamInfo MarkerStream() {
  StreamInfo info = test::TranscriptInfo();
  auto desc = std::make_shared<pugi::xml_document>();
  auto d = desc->append_child("desc");
  d.append_child("manufacturer").text().set("Maroquint Labs");
  auto ch = d.append_child("channels");
  ch.append_child("channel").append_child("label").text().set("C3");
  ch.append_child("channel").append_child("label").text().set("C4");
  info.desc = desc;
  return info;
}

bool Match(std::string_view query) {
  return Query::Compile(query).Matches(MarkerStream());
}

TEST(Query, EveryFormLiblslResolversSend) {
  EXPECT_TRUE(Match("session_id='default' and type='Markers'"));
  EXPECT_TRUE(Match("session_id='default' and name='TranscriptTest'"));
  EXPECT_TRUE(Match("session_id='default' and source_id='transcript-source-1'"));
  EXPECT_TRUE(Match("session_id='default'"));
  EXPECT_TRUE(
      Match("channel_count='1' and name='TranscriptTest' and type='Markers' and "
            "source_id='transcript-source-1' and channel_format='string'"));
  EXPECT_FALSE(Match("session_id='other' and type='Markers'"));
  EXPECT_FALSE(Match("session_id='default' and type='EEG'"));
  EXPECT_FALSE(Match("type='EEG'"));
}

TEST(Query, EmptyQueryMatchesEverything) {
  EXPECT_TRUE(Match(""));
  EXPECT_TRUE(Match("  \t"));
}

TEST(Query, XPathPredicatesOfTranscript01) {
  EXPECT_TRUE(Match("starts-with(name,'Trans') and channel_count=1"));
  EXPECT_FALSE(Match("starts-with(name,'trans') and channel_count=1"));
  EXPECT_TRUE(Match("contains(source_id, \"source\")"));
}

TEST(Query, ComparisonsFollowXPath) {
  EXPECT_TRUE(Match("channel_count=1"));
  EXPECT_TRUE(Match("channel_count=1.0")) << "numbers compare numerically";
  EXPECT_FALSE(Match("channel_count='1.0'")) << "literals compare as text";
  EXPECT_TRUE(Match("channel_count!=2"));
  EXPECT_TRUE(Match("channel_count>0 and channel_count<=1"));
  EXPECT_FALSE(Match("missing='x'")) << "a missing element compares false";
  EXPECT_FALSE(Match("missing!='x'")) << "for = and != alike";
  EXPECT_TRUE(Match("not(missing='x')"));
  EXPECT_TRUE(Match("'Markers'=type"));
  EXPECT_TRUE(Match("name"));
  EXPECT_FALSE(Match("missing"));
  EXPECT_TRUE(Match("nominal_srate=0"));
  EXPECT_TRUE(Match("created_at>-1"));
}

TEST(Query, AndOrNotAndParentheses) {
  EXPECT_TRUE(Match("type='EEG' or type='Markers'"));
  EXPECT_FALSE(Match("type='EEG' or (type='Markers' and name='x')"));
  EXPECT_TRUE(Match("(type='EEG' or type='Markers') and not(name='x')"));
  EXPECT_TRUE(Match("type='EEG' or type='Markers' and name='TranscriptTest'"))
      << "and binds tighter than or";
  EXPECT_FALSE(Match("not(true())"));
}

TEST(Query, PathsReachIntoDesc) {
  EXPECT_TRUE(Match("desc/manufacturer='Maroquint Labs'"));
  EXPECT_TRUE(Match("desc/channels/channel/label='C4'")) << "any node of the set";
  EXPECT_FALSE(Match("desc/channels/channel/label='C5'"));
  EXPECT_TRUE(Match("desc / manufacturer = 'Maroquint Labs'"));
}

TEST(Query, AnythingUnparsableMatchesNothing) {
  for (auto q :
       {"type=", "type='Markers", "(type='Markers'", "type=='Markers'", "type='Markers' and",
        "//info", "name[1]", "unknown-fn(name)", "count(name)=1", "type='Markers')", "@name='x'",
        "type='Markers' xor 1", "starts-with(name)", "$x"}) {
    auto q2 = Query::Compile(q);
    EXPECT_FALSE(q2.Valid()) << q;
    EXPECT_FALSE(q2.Matches(MarkerStream())) << q;
  }
}

TEST(Query, BoundedInLengthAndNesting) {
  std::string deep(200, '(');
  deep += "name='TranscriptTest'" + std::string(200, ')');
  EXPECT_FALSE(Query::Compile(deep).Valid());
  std::string nested = "((((name='TranscriptTest'))))";
  EXPECT_TRUE(Match(nested));
  std::string chain = "name='TranscriptTest'";
  while (chain.size() < 3000) chain += " and name='TranscriptTest'";
  EXPECT_FALSE(Query::Compile(chain).Valid()) << "too many operators";
  std::string long_literal = "name='" + std::string(kMaxQueryLength, 'x') + "'";
  EXPECT_FALSE(Query::Compile(long_literal).Valid());
}

TEST(QueryBuilders, TheQueriesLiblslSends) {
  EXPECT_EQ(BuildSessionQuery("default"), "session_id='default'");
  EXPECT_EQ(BuildBypropQuery("default", "type", "Markers"),
            "session_id='default' and type='Markers'");
  EXPECT_EQ(BuildRecoveryQuery(MarkerStream()),
            "channel_count='1' and name='TranscriptTest' and type='Markers' and "
            "source_id='transcript-source-1' and channel_format='string'");
  auto nameless = MarkerStream();
  nameless.type.clear();
  nameless.source_id.clear();
  EXPECT_EQ(BuildRecoveryQuery(nameless),
            "channel_count='1' and name='TranscriptTest' and channel_format='string'");
  EXPECT_TRUE(Match(BuildRecoveryQuery(MarkerStream())));
  EXPECT_EQ(BuildBypropQuery("s", "name", "it's"), "session_id='s' and name=\"it's\"");
}

}  // namespace
}  // namespace maroquint::lsl::core
