// Consumer admission under load: whatever untrusted peers hold open, a new
// consumer gets in, and the consumers already connected lose nothing.
// Each case prints how long the newcomer waited for its first marker; the
// tests themselves only wait, with generous deadlines, for the events.
#include "net/outlet.h"

#include "core/protocol/streamfeed.h"
#include "core/stream_info.h"
#include "net/config_loader.h"
#include "raw_client.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace maroquint::lsl::test {
namespace {

using Clock = std::chrono::steady_clock;

// Room for both ends of every connection these tests open.
void RaiseDescriptorLimit() {
#ifndef _WIN32
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
#endif
}

std::string FeedRequest(const std::string &uid) {
  return "LSL:streamfeed/110 " + uid +
         "\r\nMax-Buffer-Length: 36000\r\nMax-Chunk-Length: 0\r\n\r\n";
}

class Admission : public ::testing::Test {
 protected:
  void SetUp() override {
    RaiseDescriptorLimit();
    core::StreamInfo info;
    info.name = "Admission";
    info.type = "Markers";
    info.channel_count = 1;
    info.channel_format = core::ChannelFormat::kString;
    outlet_ = OpenOutlet(info, 360, net::ApiConfig());
    // A consumer from before the load, which must lose nothing.
    early_ = Connect();
    ASSERT_TRUE(early_);
  }

  uint16_t Port() const { return outlet_->Info().v4data_port; }

  std::unique_ptr<RawClient> Connect(int receive_buffer = 0) {
    auto c = std::make_unique<RawClient>(Port(), receive_buffer);
    c->Send(FeedRequest(outlet_->Info().uid));
    if (c->Read(157, 60.0) != core::StreamfeedOkReply(outlet_->Info().uid, 1)) return nullptr;
    return c;
  }

  void Push(int i) {
    const std::string text = "m-" + std::to_string(i);
    const char *channels[] = {text.c_str()};
    ASSERT_TRUE(outlet_->Push(channels, 100.0 + i));
  }

  // A new consumer connects while the load goes on and markers keep coming.
  void ExpectNewcomerServed(const char *what) {
    std::atomic<bool> stop{false};
    std::atomic<int> pushed{0};
    std::thread pusher([&] {
      for (int i = 0; !stop; ++i) {
        Push(i);
        pushed = i + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    const auto start = Clock::now();
    auto newcomer = Connect();
    std::vector<Marker> got;
    if (newcomer) got = newcomer->Markers(1, 60.0);
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    pusher.join();
    EXPECT_TRUE(newcomer) << what << ": the new consumer was not admitted";
    EXPECT_EQ(got.size(), 1u) << what << ": the new consumer got no marker";
    std::printf("[ figure   ] %s: first marker %.3f s after connecting\n", what, waited);
    // The consumer from before got every marker, in order.
    const auto all = early_->Markers(static_cast<std::size_t>(pushed.load()), 60.0);
    EXPECT_EQ(all.size(), static_cast<std::size_t>(pushed.load())) << what;
    for (std::size_t i = 0; i < all.size(); ++i)
      EXPECT_EQ(all[i].timestamp, 100.0 + static_cast<double>(i)) << what;
  }

  std::unique_ptr<net::Outlet> outlet_;
  std::unique_ptr<RawClient> early_;
};

TEST_F(Admission, AThousandIdleConnectionsLockNobodyOut) {
  asio::io_context io;
  std::vector<tcp::socket> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.emplace_back(io);
    asio::error_code ec;
    idle.back().connect(tcp::endpoint(asio::ip::address_v4::loopback(), Port()), ec);
    ASSERT_FALSE(ec) << "connection " << i << ": " << ec.message();
  }
  ExpectNewcomerServed("1000 idle connections");
}

TEST_F(Admission, ThreeHundredConsumersThatNeverReadLockNobodyOut) {
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (int i = 0; i < 300; ++i) {
    auto c = std::make_unique<RawClient>(Port(), 2048);
    c->Send(FeedRequest(outlet_->Info().uid));
    stalled.push_back(std::move(c));
  }
  // Fill their buffers so the outlet's writes to them are stuck.
  const std::string big(8000, 'x');
  const char *channels[] = {big.c_str()};
  for (int i = 0; i < 50; ++i) outlet_->Push(channels, 1.0);
  ASSERT_EQ(early_->Markers(50, 60.0).size(), 50u);
  ExpectNewcomerServed("300 stalled consumers");
}

}  // namespace
}  // namespace maroquint::lsl::test
