// Our resolver and inlet against our outlet, through the C API, on loopback.
#include "lsl_c.h"

#include "c_handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kWait = 10.0;

using maroquint::lsl::test::Info;
using maroquint::lsl::test::Inlet;
using maroquint::lsl::test::Outlet;

Outlet MakeOutlet(const std::string &name, const std::string &source_id,
                  const std::string &type = "Markers", int32_t max_buffered = 360) {
  Info info(lsl_create_streaminfo(name.c_str(), type.c_str(), 1, LSL_IRREGULAR_RATE, cft_string,
                                  source_id.c_str()));
  EXPECT_NE(info, nullptr);
  if (!info) return nullptr;
  Outlet out(lsl_create_outlet(info.get(), 0, max_buffered));
  EXPECT_NE(out, nullptr);
  return out;
}

Info ResolveOne(const char *prop, const std::string &value, double timeout = kWait) {
  lsl_streaminfo found[4] = {};
  const int32_t n = lsl_resolve_byprop(found, 4, prop, value.c_str(), 1, timeout);
  EXPECT_EQ(n, 1) << prop << "=" << value;
  for (int32_t i = 1; i < n; ++i) lsl_destroy_streaminfo(found[i]);
  return Info(n >= 1 ? found[0] : nullptr);
}

Inlet OpenInlet(const std::string &name, int32_t max_buflen = 360, int32_t recover = 1) {
  Info info = ResolveOne("name", name);
  if (!info) return nullptr;
  Inlet in(lsl_create_inlet(info.get(), max_buflen, 0, recover));
  EXPECT_NE(in, nullptr);
  if (!in) return nullptr;
  int32_t ec = 1;
  lsl_open_stream(in.get(), kWait, &ec);
  EXPECT_EQ(ec, lsl_no_error);
  return in;
}

struct Pulled {
  double timestamp = 0.0;
  std::string text;
  int32_t ec = 0;
};

Pulled Pull(lsl_inlet in, double timeout = kWait) {
  Pulled p;
  char *value = nullptr;
  p.timestamp = lsl_pull_sample_str(in, &value, 1, timeout, &p.ec);
  if (value != nullptr) {
    p.text = value;
    lsl_destroy_string(value);
  }
  return p;
}

void Push(lsl_outlet out, const std::string &text, double timestamp = 0.0) {
  const char *channels[] = {text.c_str()};
  ASSERT_EQ(timestamp == 0.0 ? lsl_push_sample_str(out, channels)
                             : lsl_push_sample_strt(out, channels, timestamp),
            lsl_no_error);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Waits until `done` holds or `seconds` pass.
template <typename Done>
void WaitFor(Done done, double seconds) {
  const auto start = std::chrono::steady_clock::now();
  while (!done() && SecondsSince(start) < seconds)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// An outlet named after the test, and an inlet (with recovery) that has
// opened its stream.
class Connected : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    out_ = MakeOutlet(name_, name_ + "-source");
    ASSERT_TRUE(out_);
    in_ = OpenInlet(name_);
    ASSERT_TRUE(in_);
  }

  std::string name_;
  Outlet out_;
  Inlet in_;
};

TEST(Resolve, FindsAStreamByTypeNameAndSourceId) {
  Outlet out = MakeOutlet("ResolveMe", "resolve-source-1", "ResolveType");
  ASSERT_TRUE(out);
  for (const auto &[prop, value] : std::vector<std::pair<const char *, std::string>>{
           {"type", "ResolveType"}, {"name", "ResolveMe"}, {"source_id", "resolve-source-1"}}) {
    Info info = ResolveOne(prop, value);
    ASSERT_TRUE(info);
    EXPECT_STREQ(lsl_get_name(info.get()), "ResolveMe");
    EXPECT_STREQ(lsl_get_type(info.get()), "ResolveType");
    EXPECT_STREQ(lsl_get_source_id(info.get()), "resolve-source-1");
    EXPECT_EQ(lsl_get_channel_count(info.get()), 1);
    EXPECT_EQ(lsl_get_channel_format(info.get()), cft_string);
    EXPECT_EQ(lsl_get_nominal_srate(info.get()), LSL_IRREGULAR_RATE);
    EXPECT_GT(lsl_get_created_at(info.get()), 0.0);
    EXPECT_EQ(std::string(lsl_get_uid(info.get())).size(), 36u);
  }
}

TEST(Resolve, AllListsEveryStreamOncePerUid) {
  Outlet a = MakeOutlet("ListA", "list-a");
  Outlet b = MakeOutlet("ListB", "list-b");
  ASSERT_TRUE(a && b);
  lsl_streaminfo found[8] = {};
  const int32_t n = lsl_resolve_all(found, 8, 1.5);
  std::vector<std::string> names;
  std::vector<std::string> uids;
  for (int32_t i = 0; i < n; ++i) {
    names.push_back(lsl_get_name(found[i]));
    uids.push_back(lsl_get_uid(found[i]));
    lsl_destroy_streaminfo(found[i]);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"ListA", "ListB"}));
  EXPECT_TRUE(std::is_sorted(uids.begin(), uids.end()));
  // The buffer bounds the answer.
  lsl_streaminfo one[1] = {};
  EXPECT_EQ(lsl_resolve_all(one, 1, 1.0), 1);
  lsl_destroy_streaminfo(one[0]);
}

TEST(Resolve, AStreamThatNeverAppearsYieldsNothingAfterTheTimeout) {
  lsl_streaminfo found[2] = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(lsl_resolve_byprop(found, 2, "name", "NobodyServesThis", 1, 1.0), 0);
  const double took = SecondsSince(start);
  EXPECT_GE(took, 0.95);
  EXPECT_LT(took, 20.0) << "the resolve outlived its timeout";
  EXPECT_EQ(lsl_resolve_byprop(found, 2, nullptr, "x", 1, 0.1), lsl_argument_error);
}

TEST_F(Connected, ReceivesExactTextAndTimeStamps) {
  const std::vector<std::pair<std::string, double>> sent{
      {"/Experiment Control/Synchronization/Trigger/Biosemi", 0.0},
      {"explicit-ts", 1000.5},
      {"", 1001.25},
      {std::string(300, 'L'), 1002.0},
      {"caf\xc3\xa9-\xe2\x9c\x93", 1003.0},
      {std::string(70000, 'x'), 1004.0},
  };
  const double before = lsl_local_clock();
  for (const auto &[text, ts] : sent) Push(out_.get(), text, ts);
  const double after = lsl_local_clock();
  for (const auto &[text, ts] : sent) {
    const Pulled p = Pull(in_.get());
    EXPECT_EQ(p.ec, lsl_no_error);
    EXPECT_EQ(p.text, text);
    if (ts == 0.0) {
      EXPECT_GE(p.timestamp, before);
      EXPECT_LE(p.timestamp, after);
    } else {
      EXPECT_EQ(p.timestamp, ts);
    }
  }
  EXPECT_EQ(lsl_samples_available(in_.get()), 0u);
}

TEST_F(Connected, PullTimesOutWithoutAnErrorAndChecksTheBufferSize) {
  const auto start = std::chrono::steady_clock::now();
  const Pulled p = Pull(in_.get(), 0.2);
  EXPECT_GE(SecondsSince(start), 0.19);
  EXPECT_EQ(p.timestamp, 0.0);
  EXPECT_EQ(p.ec, lsl_no_error);
  char *two[2] = {};
  int32_t ec = 0;
  EXPECT_EQ(lsl_pull_sample_str(in_.get(), two, 2, 0.0, &ec), 0.0);
  EXPECT_EQ(ec, lsl_argument_error);
}

TEST_F(Connected, SamplesAvailableCountsWhatWaits) {
  for (int i = 0; i < 5; ++i) Push(out_.get(), "m" + std::to_string(i));
  WaitFor([&] { return lsl_samples_available(in_.get()) >= 5; }, kWait);
  EXPECT_EQ(lsl_samples_available(in_.get()), 5u);
  EXPECT_EQ(Pull(in_.get()).text, "m0");
  EXPECT_EQ(lsl_samples_available(in_.get()), 4u);
}

TEST(Inlet, FullInfoDescribesTheOutlet) {
  Outlet out = MakeOutlet("Described", "described-source");
  ASSERT_TRUE(out);
  Info resolved = ResolveOne("name", "Described");
  ASSERT_TRUE(resolved);
  Inlet in(lsl_create_inlet(resolved.get(), 360, 0, 1));
  ASSERT_TRUE(in);
  int32_t ec = 1;
  Info full(lsl_get_fullinfo(in.get(), kWait, &ec));
  EXPECT_EQ(ec, lsl_no_error);
  ASSERT_TRUE(full);
  EXPECT_STREQ(lsl_get_name(full.get()), "Described");
  EXPECT_STREQ(lsl_get_uid(full.get()), lsl_get_uid(resolved.get()));
  EXPECT_EQ(lsl_get_created_at(full.get()), lsl_get_created_at(resolved.get()));
}

TEST(Inlet, OnlyStringStreamsCanBeRead) {
  Info numeric(lsl_create_streaminfo("Numbers", "EEG", 4, 100.0, cft_float32, "numbers"));
  if (numeric) {
    EXPECT_EQ(lsl_create_inlet(numeric.get(), 360, 0, 1), nullptr);
  }
  EXPECT_EQ(lsl_create_inlet(nullptr, 360, 0, 1), nullptr);
}

TEST(Inlet, ThirtyConsumersConnectingAtOnceEachGetEverythingPushedAfterTheyOpened) {
  constexpr int kConsumers = 30;
  Outlet out = MakeOutlet("Crowd", "crowd-source");
  ASSERT_TRUE(out);
  Info info = ResolveOne("name", "Crowd");
  ASSERT_TRUE(info);

  std::mutex push_mutex;
  std::vector<std::string> pushed;
  std::vector<std::vector<std::string>> received(kConsumers);
  std::vector<std::size_t> first_index(kConsumers, 0);
  std::atomic<int> opened{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < kConsumers; ++k) {
    threads.emplace_back([&, k] {
      Inlet in(lsl_create_inlet(info.get(), 360, 0, 0));
      if (!in) return;
      int32_t ec = 1;
      lsl_open_stream(in.get(), kWait, &ec);
      if (ec != lsl_no_error) return;
      {
        // Everything from this push on must reach this consumer.
        std::lock_guard<std::mutex> lock(push_mutex);
        first_index[k] = pushed.size();
        pushed.push_back("opened-" + std::to_string(k));
        Push(out.get(), pushed.back());
      }
      ++opened;
      for (;;) {
        const Pulled p = Pull(in.get(), kWait);
        if (p.ec != lsl_no_error || p.timestamp == 0.0) break;
        if (p.text == "end") break;
        received[k].push_back(p.text);
      }
    });
  }
  WaitFor([&] { return opened == kConsumers; }, 30.0);
  EXPECT_EQ(opened.load(), kConsumers);
  {
    std::lock_guard<std::mutex> lock(push_mutex);
    pushed.push_back("end");
    Push(out.get(), "end");
  }
  for (auto &t : threads) t.join();
  for (int k = 0; k < kConsumers; ++k) {
    SCOPED_TRACE(k);
    // The handshake ends a little before lsl_open_stream returns, so a
    // consumer may also see a few earlier markers: an unbroken run of
    // them in push order, ending with everything from its own push on.
    ASSERT_GE(received[k].size(), pushed.size() - 1 - first_index[k]);
    const std::size_t from = pushed.size() - 1 - received[k].size();
    const std::vector<std::string> expected(pushed.begin() + from, pushed.end() - 1);
    EXPECT_EQ(received[k], expected);
  }
}

TEST_F(Connected, RecoversWhenTheOutletRestartsWithTheSameSourceId) {
  Push(out_.get(), "before-restart");
  EXPECT_EQ(Pull(in_.get()).text, "before-restart");
  out_.reset();
  // Meanwhile pulls simply time out.
  const Pulled gap = Pull(in_.get(), 0.3);
  EXPECT_EQ(gap.ec, lsl_no_error);
  Outlet second = MakeOutlet(name_, name_ + "-source");
  ASSERT_TRUE(second);
  ASSERT_EQ(lsl_wait_for_consumers(second.get(), kWait), 1);
  Push(second.get(), "after-restart");
  Pulled p = Pull(in_.get());
  // A restarted liblsl outlet may leave a last empty marker behind; ours does not.
  EXPECT_EQ(p.ec, lsl_no_error);
  EXPECT_EQ(p.text, "after-restart");
}

TEST(Inlet, WithoutRecoveryALostStreamIsReported) {
  Outlet out = MakeOutlet("Mortal", "mortal-source");
  ASSERT_TRUE(out);
  Inlet in = OpenInlet("Mortal", 360, 0);
  ASSERT_TRUE(in);
  Push(out.get(), "last-words");
  EXPECT_EQ(Pull(in.get()).text, "last-words");
  out.reset();
  const Pulled p = Pull(in.get());
  EXPECT_EQ(p.ec, lsl_lost_error);
  EXPECT_EQ(p.timestamp, 0.0);
}

// One clock at both ends: the correction is off zero by at most half the
// round trip of the probe it comes from, however busy the machine is.
TEST_F(Connected, TimeCorrectionOnOneHostIsWithinHalfItsRoundTrip) {
  int32_t ec = 1;
  double remote_time = -1.0;
  double uncertainty = -1.0;
  const double before = lsl_local_clock();
  const double correction =
      lsl_time_correction_ex(in_.get(), &remote_time, &uncertainty, kWait, &ec);
  const double after = lsl_local_clock();
  ASSERT_EQ(ec, lsl_no_error);
  EXPECT_GT(uncertainty, 0.0);
  EXPECT_LE(std::fabs(correction), uncertainty / 2 + 1e-9);
  // The first round runs during the first call, on the outlet's clock, which here is ours.
  EXPECT_GE(remote_time, before);
  EXPECT_LE(remote_time, after);

  // A round ends every 2 s: two extended calls naming the same probe
  // bracket a plain call that saw that estimate too.
  bool bracketed = false;
  for (int attempt = 0; attempt < 3 && !bracketed; ++attempt) {
    double first_remote = 0.0;
    double first_rtt = 0.0;
    const double first = lsl_time_correction_ex(in_.get(), &first_remote, &first_rtt, kWait, &ec);
    ASSERT_EQ(ec, lsl_no_error);
    ec = 1;
    const double plain = lsl_time_correction(in_.get(), kWait, &ec);
    ASSERT_EQ(ec, lsl_no_error);
    double second_remote = 0.0;
    double second_rtt = 0.0;
    const double second =
        lsl_time_correction_ex(in_.get(), &second_remote, &second_rtt, kWait, &ec);
    ASSERT_EQ(ec, lsl_no_error);
    if (first_remote != second_remote) continue;
    bracketed = true;
    EXPECT_EQ(first, second);
    EXPECT_EQ(first_rtt, second_rtt);
    EXPECT_EQ(plain, first);
  }
  EXPECT_TRUE(bracketed);
}

TEST_F(Connected, TimeCorrectionExToleratesMissingOutputs) {
  int32_t ec = 1;
  double uncertainty = -1.0;
  const double correction = lsl_time_correction_ex(in_.get(), nullptr, &uncertainty, kWait, &ec);
  EXPECT_EQ(ec, lsl_no_error);
  EXPECT_GT(uncertainty, 0.0);
  EXPECT_LE(std::fabs(correction), uncertainty / 2 + 1e-9);
  double remote_time = -1.0;
  ec = 1;
  lsl_time_correction_ex(in_.get(), &remote_time, nullptr, kWait, &ec);
  EXPECT_EQ(ec, lsl_no_error);
  EXPECT_GT(remote_time, 0.0);
  ec = 1;
  lsl_time_correction_ex(in_.get(), nullptr, nullptr, kWait, &ec);
  EXPECT_EQ(ec, lsl_no_error);
  lsl_time_correction_ex(in_.get(), nullptr, nullptr, kWait, nullptr);
}

TEST(Inlet, TimeCorrectionExWithoutAnInletIsAnArgumentError) {
  int32_t ec = 0;
  double remote_time = 7.0;
  double uncertainty = 7.0;
  EXPECT_EQ(lsl_time_correction_ex(nullptr, &remote_time, &uncertainty, 0.1, &ec), 0.0);
  EXPECT_EQ(ec, lsl_argument_error);
  EXPECT_EQ(remote_time, 7.0);
  EXPECT_EQ(uncertainty, 7.0);
  ec = 0;
  EXPECT_EQ(lsl_time_correction(nullptr, 0.1, &ec), 0.0);
  EXPECT_EQ(ec, lsl_argument_error);
}

TEST_F(Connected, ClosingAndReopeningStartsAfresh) {
  Push(out_.get(), "first");
  EXPECT_EQ(Pull(in_.get()).text, "first");
  lsl_close_stream(in_.get());
  Push(out_.get(), "while-closed");
  int32_t ec = 1;
  lsl_open_stream(in_.get(), kWait, &ec);
  EXPECT_EQ(ec, lsl_no_error);
  Push(out_.get(), "reopened");
  EXPECT_EQ(Pull(in_.get()).text, "reopened");
}

}  // namespace
