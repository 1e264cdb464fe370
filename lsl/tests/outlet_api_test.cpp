// The outlet half of the C API, as a program uses it.
#include <lsl_c.h>

#include "api/guard.h"
#include "c_handles.h"
#include "core/protocol/streamfeed.h"
#include "core/stream_info.h"
#include "net/config_loader.h"
#include "net/log.h"
#include "net/outlet.h"
#include "raw_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using maroquint::lsl::test::Info;
using maroquint::lsl::test::Marker;
using maroquint::lsl::test::Outlet;
using maroquint::lsl::test::RawClient;

const char *k_source_id = "bf37e271-e0ee-455b-bc9e-6c23a3308d0e";

Info MaroquintInfo() {
  return Info(lsl_create_streaminfo("Maroquint", "Markers", 1, LSL_IRREGULAR_RATE, cft_string,
                                    k_source_id));
}

TEST(CApiLibrary, VersionsAndClock) {
  EXPECT_EQ(lsl_protocol_version(), 110);
  EXPECT_EQ(lsl_library_version(), 116);
  const double a = lsl_local_clock();
  const double b = lsl_local_clock();
  EXPECT_GT(a, 0.0);
  EXPECT_LE(a, b);
  lsl_destroy_string(nullptr);
}

TEST(CApiStreamInfo, GettersReturnTheDeclaration) {
  auto info = MaroquintInfo();
  ASSERT_TRUE(info);
  EXPECT_STREQ(lsl_get_name(info.get()), "Maroquint");
  EXPECT_STREQ(lsl_get_type(info.get()), "Markers");
  EXPECT_EQ(lsl_get_channel_count(info.get()), 1);
  EXPECT_EQ(lsl_get_nominal_srate(info.get()), 0.0);
  EXPECT_EQ(lsl_get_channel_format(info.get()), cft_string);
  EXPECT_STREQ(lsl_get_source_id(info.get()), k_source_id);
  EXPECT_EQ(lsl_get_version(info.get()), 110);
  EXPECT_EQ(lsl_get_created_at(info.get()), 0.0);
  EXPECT_STREQ(lsl_get_uid(info.get()), "");
  EXPECT_STREQ(lsl_get_session_id(info.get()), maroquint::lsl::net::ApiConfig().session_id.c_str());
  EXPECT_STRNE(lsl_get_hostname(info.get()), "");
  char *xml = lsl_get_xml(info.get());
  ASSERT_NE(xml, nullptr);
  auto parsed = maroquint::lsl::core::ParseXml(std::string(xml) + "");
  EXPECT_NE(std::strstr(xml, "<name>Maroquint</name>"), nullptr);
  EXPECT_EQ(std::strncmp(xml, "<?xml version=\"1.0\"?>\n<info>\n\t<name>", 36), 0);
  lsl_destroy_string(xml);
}

TEST(CApiStreamInfo, RejectsBadDeclarations) {
  EXPECT_EQ(lsl_create_streaminfo("", "Markers", 1, 0.0, cft_string, ""), nullptr);
  EXPECT_EQ(lsl_create_streaminfo(nullptr, "Markers", 1, 0.0, cft_string, ""), nullptr);
  EXPECT_EQ(lsl_create_streaminfo("x", "Markers", -1, 0.0, cft_string, ""), nullptr);
  EXPECT_EQ(lsl_create_streaminfo("x", "Markers", 1, -1.0, cft_string, ""), nullptr);
  EXPECT_EQ(
      lsl_create_streaminfo("x", "Markers", 1, 0.0, static_cast<lsl_channel_format_t>(42), ""),
      nullptr);
  Info ok(lsl_create_streaminfo("x", nullptr, 1, 0.0, cft_float32, nullptr));
  ASSERT_TRUE(ok);
  EXPECT_STREQ(lsl_get_type(ok.get()), "");
  EXPECT_STREQ(lsl_get_source_id(ok.get()), "");
}

TEST(CApiOutlet, OnlyStringOutletsAreOffered) {
  Info numeric(lsl_create_streaminfo("x", "EEG", 8, 100.0, cft_float32, "s"));
  EXPECT_EQ(lsl_create_outlet(numeric.get(), 0, 360), nullptr);
  EXPECT_EQ(lsl_create_outlet(nullptr, 0, 360), nullptr);
  Info none(lsl_create_streaminfo("x", "Markers", 0, 0.0, cft_string, "s"));
  EXPECT_EQ(lsl_create_outlet(none.get(), 0, 360), nullptr);
}

TEST(CApiOutlet, NullArgumentsAreErrorsNotCrashes) {
  const char *text[] = {"x"};
  EXPECT_EQ(lsl_push_sample_str(nullptr, text), lsl_argument_error);
  EXPECT_EQ(lsl_have_consumers(nullptr), 0);
  EXPECT_EQ(lsl_wait_for_consumers(nullptr, 0.01), 0);
  lsl_destroy_outlet(nullptr);
  auto info = MaroquintInfo();
  Outlet outlet(lsl_create_outlet(info.get(), 0, 360));
  ASSERT_TRUE(outlet);
  EXPECT_EQ(lsl_push_sample_str(outlet.get(), nullptr), lsl_argument_error);
  const char *missing[] = {nullptr};
  EXPECT_EQ(lsl_push_sample_str(outlet.get(), missing), lsl_argument_error);
  EXPECT_EQ(lsl_push_sample_str(outlet.get(), text), lsl_no_error);
}

TEST(CApiOutlet, ASampleTooLargeToKeepIsAnErrorNotLostSilently) {
  auto info = MaroquintInfo();
  Outlet outlet(lsl_create_outlet(info.get(), 0, 360));
  ASSERT_TRUE(outlet);
  const std::string huge(maroquint::lsl::net::Outlet::kMaxBufferedBytes, 'h');
  const char *text[] = {huge.c_str()};
  EXPECT_EQ(lsl_push_sample_str(outlet.get(), text), lsl_argument_error);
  const std::string fits(1000, 'f');
  const char *small[] = {fits.c_str()};
  EXPECT_EQ(lsl_push_sample_str(outlet.get(), small), lsl_no_error);
}

// Collects the library's warnings for one test.
class CapturedWarnings {
 public:
  CapturedWarnings() {
    maroquint::lsl::net::SetLogSink([this](std::string_view line) { lines_.emplace_back(line); });
  }
  ~CapturedWarnings() { maroquint::lsl::net::SetLogSink(nullptr); }
  const std::vector<std::string> &Lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

TEST(CApiGuard, AnExceptionBecomesTheErrorResultAndOneWarning) {
  CapturedWarnings warnings;
  int32_t ec = lsl_no_error;
  const auto result = maroquint::lsl::api::Guarded(
      "lsl_example", -1.0, []() -> double { throw std::runtime_error("broken\nin two lines"); },
      &ec);
  EXPECT_EQ(result, -1.0);
  EXPECT_EQ(ec, lsl_internal_error);
  EXPECT_EQ(maroquint::lsl::api::Guarded(
                "lsl_fine", 0, [] { return 7; }, &ec),
            7);
  ASSERT_EQ(warnings.Lines().size(), 1u);
  EXPECT_EQ(warnings.Lines()[0], "lsl: lsl_example: broken in two lines");
}

// What the program does: declare, create, find by discovery, push.
TEST(CApiOutlet, DiscoverableAndStreamsPushedMarkers) {
  auto info = MaroquintInfo();
  Outlet outlet(lsl_create_outlet(info.get(), 0, 360));
  ASSERT_TRUE(outlet);
  lsl_destroy_streaminfo(info.release());

  const auto &config = maroquint::lsl::net::ApiConfig();
  auto replies = maroquint::lsl::test::UdpExchange(
      config.multicast_port, "LSL:shortinfo\r\nsession_id='" + config.session_id +
                                 "' and source_id='" + k_source_id + "'\r\n{port} 9\r\n");
  ASSERT_FALSE(replies.empty());
  ASSERT_EQ(replies[0].rfind("9\r\n", 0), 0u);
  auto found = maroquint::lsl::core::ParseXml(replies[0].substr(3));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "Maroquint");
  EXPECT_NE(found->created_at, 0.0);

  EXPECT_EQ(lsl_have_consumers(outlet.get()), 0);
  RawClient consumer(found->v4data_port);
  consumer.Send("LSL:streamfeed/110 " + found->uid + "\r\nMax-Buffer-Length: 36000\r\n\r\n");
  EXPECT_EQ(consumer.Read(157), maroquint::lsl::core::StreamfeedOkReply(found->uid, 1));
  EXPECT_EQ(lsl_wait_for_consumers(outlet.get(), 5.0), 1);
  EXPECT_EQ(lsl_have_consumers(outlet.get()), 1);

  const char *marker[] = {"/Experiment Control/Synchronization/Trigger/Biosemi"};
  const double before = lsl_local_clock();
  EXPECT_EQ(lsl_push_sample_str(outlet.get(), marker), lsl_no_error);
  const double after = lsl_local_clock();
  EXPECT_EQ(lsl_push_sample_strt(outlet.get(), marker, 1234.5), lsl_no_error);
  EXPECT_EQ(lsl_push_sample_strt(outlet.get(), marker, 0.0), lsl_no_error);
  auto got = consumer.Markers(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].text, marker[0]);
  EXPECT_GE(got[0].timestamp, before);
  EXPECT_LE(got[0].timestamp, after);
  EXPECT_EQ(got[1].timestamp, 1234.5);
  EXPECT_GE(got[2].timestamp, after);
}

}  // namespace
