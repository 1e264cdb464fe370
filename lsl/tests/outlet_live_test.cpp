// A live outlet on loopback, driven with bare sockets. Runs inside a
// private network namespace (registered NETWORK).
#include "net/outlet.h"

#include "core/protocol/constants.h"
#include "core/protocol/streamfeed.h"
#include "core/stream_info.h"
#include "net/config_loader.h"
#include "net/log.h"
#include "net/platform.h"
#include "raw_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

namespace maroquint::lsl::test {
namespace {

core::StreamInfo MarkerInfo(const std::string &name = "LiveTest") {
  core::StreamInfo info;
  info.name = name;
  info.type = "Markers";
  info.channel_count = 1;
  info.channel_format = core::ChannelFormat::kString;
  info.source_id = "live-test-source";
  return info;
}

std::string FeedRequest(const std::string &uid, int max_buffer = 36000) {
  return "LSL:streamfeed/110 " + uid +
         "\r\nNative-Byte-Order: 1234\r\nEndian-Performance: 1.3e+07\r\nHas-IEEE754-Floats: 1\r\n"
         "Supports-Subnormals: 0\r\nValue-Size: 32\r\nData-Protocol-Version: 110\r\n"
         "Max-Buffer-Length: " +
         std::to_string(max_buffer) + "\r\nMax-Chunk-Length: 0\r\n\r\n";
}

// A consumer of the outlet that has completed its handshake.
std::unique_ptr<RawClient> ConsumerOf(const net::Outlet &outlet, int max_buffer = 36000,
                                      int receive_buffer = 0) {
  const std::string &uid = outlet.Info().uid;
  auto c = std::make_unique<RawClient>(outlet.Info().v4data_port, receive_buffer);
  c->Send(FeedRequest(uid, max_buffer));
  EXPECT_EQ(c->Read(157), core::StreamfeedOkReply(uid, 1));
  return c;
}

class LiveOutlet : public ::testing::Test {
 protected:
  void SetUp() override { outlet_ = OpenOutlet(MarkerInfo(), 360, net::ApiConfig()); }

  uint16_t DataPort() const { return outlet_->Info().v4data_port; }
  uint16_t ServicePort() const { return outlet_->Info().v4service_port; }
  const std::string &Uid() const { return outlet_->Info().uid; }

  std::unique_ptr<RawClient> Consumer(int max_buffer = 36000, int receive_buffer = 0) {
    return ConsumerOf(*outlet_, max_buffer, receive_buffer);
  }

  void Push(const std::string &text, double timestamp) {
    const char *channels[] = {text.c_str()};
    outlet_->Push(channels, timestamp);
  }

  std::unique_ptr<net::Outlet> outlet_;
};

TEST_F(LiveOutlet, InfoCarriesPortsUidAndClock) {
  const auto &info = outlet_->Info();
  EXPECT_EQ(info.uid.size(), 36u);
  EXPECT_GT(info.created_at, 0.0);
  EXPECT_LE(info.created_at, net::LocalClock());
  EXPECT_NE(info.v4data_port, 0);
  EXPECT_NE(info.v4service_port, 0);
  EXPECT_EQ(info.v6data_port == 0, info.v6service_port == 0)
      << "IPv6 is served whole or not at all";
  if (net::ApiConfig().ipv6 == core::IPv6Mode::kDisable) {
    EXPECT_EQ(info.v6data_port, 0);
  }
  EXPECT_EQ(info.session_id, net::ApiConfig().session_id);
  EXPECT_EQ(outlet_->BufferSamples(), 36000u);
  auto second = OpenOutlet(MarkerInfo(), 360, net::ApiConfig());
  EXPECT_NE(second->Info().uid, info.uid);
  EXPECT_NE(second->Info().v4data_port, info.v4data_port);
}

// Strings of every length width, text that is not ASCII, and a time stamp
// of zero, which means the push time.
TEST_F(LiveOutlet, EveryMarkerArrivesIntactInOrderWithItsTimeStamp) {
  auto c = Consumer();
  std::vector<Marker> sent;
  for (int i = 0; i < 200; ++i) sent.push_back({1000.0 + i * 0.25, "marker-" + std::to_string(i)});
  for (const std::string &text :
       {std::string(), std::string("caf\xc3\xa9-\xe2\x9c\x93"), std::string(255, 'a'),
        std::string(256, 'b'), std::string(100000, 'c')})
    sent.push_back({2000.0 + sent.size(), text});
  for (const Marker &m : sent) Push(m.text, m.timestamp);
  const double before = net::LocalClock();
  Push("now", 0.0);
  const double after = net::LocalClock();
  auto got = c->Markers(sent.size() + 1);
  ASSERT_EQ(got.size(), sent.size() + 1);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(got[i].text, sent[i].text) << i;
    EXPECT_EQ(got[i].timestamp, sent[i].timestamp) << i;
  }
  EXPECT_EQ(got.back().text, "now");
  EXPECT_GE(got.back().timestamp, before);
  EXPECT_LE(got.back().timestamp, after);
}

TEST_F(LiveOutlet, LateJoinerGetsOnlyLaterMarkers) {
  Push("before-anyone", 1.0);
  auto early = Consumer();
  for (int i = 0; i < 10; ++i) Push("first-" + std::to_string(i), 10.0 + i);
  ASSERT_EQ(early->Markers(10).size(), 10u);
  auto late = Consumer();
  for (int i = 0; i < 10; ++i) Push("second-" + std::to_string(i), 20.0 + i);
  auto late_got = late->Markers(10);
  ASSERT_EQ(late_got.size(), 10u);
  EXPECT_EQ(late_got.front().text, "second-0");
  auto early_got = early->Markers(10);
  ASSERT_EQ(early_got.size(), 10u);
  EXPECT_EQ(early_got.front().text, "second-0");
  EXPECT_TRUE(late->Markers(1, 0.3).empty());
}

// Pushes kCount markers while a slow consumer reads nothing (and, if given,
// a fast one reads everything); then checks what the slow one still gets.
void ExpectSlowConsumerKeepsNewest(net::Outlet &outlet, std::unique_ptr<RawClient> slow,
                                   std::unique_ptr<RawClient> fast, std::size_t keeps) {
  constexpr int kCount = 30000;
  std::vector<Marker> fast_got;
  std::thread reader([&] {
    if (fast) fast_got = fast->Markers(kCount, 60.0);
  });
  const std::string padding(400, 'p');
  for (int i = 0; i < kCount; ++i) {
    const auto text = std::to_string(i) + ":" + padding;
    const char *channels[] = {text.c_str()};
    outlet.Push(channels, 1.0 + i);
  }
  reader.join();
  if (fast) {
    ASSERT_EQ(fast_got.size(), static_cast<std::size_t>(kCount))
        << "a stalled consumer must not hold others back";
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(fast_got[i].timestamp, 1.0 + i);
  }

  auto slow_got = slow->Markers(kCount, 5.0);
  ASSERT_GE(slow_got.size(), keeps);
  EXPECT_LT(slow_got.size(), static_cast<std::size_t>(kCount))
      << "the test must have made it fall behind";
  // Whatever it lost, it lost in order, and never the newest `keeps`.
  for (std::size_t i = 1; i < slow_got.size(); ++i)
    ASSERT_LT(slow_got[i - 1].timestamp, slow_got[i].timestamp);
  const std::size_t tail = slow_got.size() - keeps;
  for (std::size_t i = 0; i < keeps; ++i)
    ASSERT_EQ(slow_got[tail + i].timestamp, 1.0 + kCount - keeps + i);
}

TEST_F(LiveOutlet, SlowConsumerLosesOnlyTheOldestBeyondItsBuffer) {
  auto slow = Consumer(50, 4096);
  ExpectSlowConsumerKeepsNewest(*outlet_, std::move(slow), Consumer(), 50);
}

TEST_F(LiveOutlet, TheOutletsBufferBoundsEveryConsumer) {
  auto small = OpenOutlet(MarkerInfo("SmallBuffer"), 2, net::ApiConfig());
  EXPECT_EQ(small->BufferSamples(), 200u) << "max_buffered counts hundreds of markers";
  // Here even a reading consumer may fall 200 markers behind a burst.
  ExpectSlowConsumerKeepsNewest(*small, ConsumerOf(*small, 36000, 4096), nullptr, 200);
}

TEST_F(LiveOutlet, ConsumersAreCountedAndAwaited) {
  EXPECT_FALSE(outlet_->HaveConsumers());
  EXPECT_FALSE(outlet_->WaitForConsumers(0.05));
  {
    RawClient info_request(DataPort());
    info_request.Send("LSL:fullinfo\r\n");
    info_request.ReadToEnd();
    EXPECT_FALSE(outlet_->HaveConsumers()) << "info requests are not consumers";
  }
  std::unique_ptr<RawClient> c;
  std::thread joiner([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    c = Consumer();
  });
  EXPECT_TRUE(outlet_->WaitForConsumers(5.0));
  joiner.join();
  EXPECT_TRUE(outlet_->HaveConsumers());
  c.reset();
  for (int i = 0; i < 100 && outlet_->HaveConsumers(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(outlet_->HaveConsumers());
}

TEST_F(LiveOutlet, RequestVariantsGetLiblslsAnswers) {
  auto exchange = [&](const std::string &request) {
    RawClient c(DataPort());
    c.Send(request);
    auto answer = c.ReadToEnd();
    EXPECT_TRUE(c.Closed()) << request;
    return answer;
  };
  EXPECT_EQ(exchange(FeedRequest("00000000-0000-0000-0000-000000000000")), core::kNotFoundReply);
  EXPECT_EQ(exchange("LSL:streamfeed/200 " + Uid() + "\r\nNative-Byte-Order: 1234\r\n\r\n"),
            core::kVersionNotSupportedReply);
  EXPECT_EQ(exchange(FeedRequest(Uid(), 0)), core::StreamfeedOkReply(Uid(), 1));
  EXPECT_EQ(exchange("LSL:streamfeed/110 " + Uid() + "\r\n\r\n"),
            core::StreamfeedOkReply(Uid(), 1));
  EXPECT_EQ(exchange("LSL:streamfeed\r\n36000 0\r\n"), "");
  EXPECT_EQ(exchange("LSL:bogus\r\n"), "");
  EXPECT_EQ(exchange("LSL:shortinfo\r\nname='Other'\r\n"), "");
  EXPECT_EQ(exchange("LSL:shortinfo\r\nname='LiveTest'\r\n"), core::ToShortXml(outlet_->Info()));
  auto full = core::ParseXml(exchange("LSL:fullinfo\r\n"));
  ASSERT_TRUE(full);
  EXPECT_EQ(full->uid, Uid());
  EXPECT_EQ(full->v4data_port, DataPort());
}

TEST_F(LiveOutlet, MinimalRequestStreams) {
  RawClient c(DataPort());
  c.Send("LSL:streamfeed/110\r\nMax-Buffer-Length: 10\r\n\r\n");
  EXPECT_EQ(c.Read(157), core::StreamfeedOkReply(Uid(), 1));
  Push("x", 3.0);
  auto got = c.Markers(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "x");
}

TEST_F(LiveOutlet, ServiceSocketAnswersShortinfoAndTimedata) {
  auto replies = UdpExchange(ServicePort(), "LSL:shortinfo\r\nname='LiveTest'\r\n{port} 77\r\n");
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], "77\r\n" + core::ToShortXml(outlet_->Info()));
  EXPECT_TRUE(
      UdpExchange(ServicePort(), "LSL:shortinfo\r\nname='Other'\r\n{port} 78\r\n", 0.3).empty());

  const double before = net::LocalClock();
  auto time = UdpExchange(ServicePort(), "LSL:timedata\r\n1804289383 1363.856082562\r\n");
  const double after = net::LocalClock();
  ASSERT_EQ(time.size(), 1u);
  std::istringstream fields(time[0]);
  std::string id, t0;
  double t1 = 0, t2 = 0;
  EXPECT_EQ(time[0][0], ' ');
  fields >> id >> t0 >> t1 >> t2;
  EXPECT_EQ(id, "1804289383");
  EXPECT_EQ(t0, "1363.856082562");
  EXPECT_GE(t1, before);
  EXPECT_LE(t1, t2);
  EXPECT_LE(t2, after);
  EXPECT_TRUE(UdpExchange(ServicePort(), "LSL:bogus\r\n", 0.3).empty());
}

TEST_F(LiveOutlet, IPv6ServesTheSameStreamWhereTheHostHasIt) {
  if (outlet_->Info().v6data_port == 0)
    GTEST_SKIP() << "IPv6 disabled by the configuration or absent here";
  const auto loopback6 = asio::ip::address_v6::loopback();
  RawClient c(outlet_->Info().v6data_port, 0, loopback6);
  c.Send(FeedRequest(Uid()));
  ASSERT_EQ(c.Read(157), core::StreamfeedOkReply(Uid(), 1));
  Push("over-ipv6", 42.0);
  auto got = c.Markers(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "over-ipv6");
  auto time =
      UdpExchange(outlet_->Info().v6service_port, "LSL:timedata\r\n99 1.5\r\n", 1.0, 1, loopback6);
  ASSERT_EQ(time.size(), 1u);
  EXPECT_EQ(time[0].rfind(" 99 1.5 ", 0), 0u);
  auto info = UdpExchange(outlet_->Info().v6service_port, "LSL:shortinfo\r\n\r\n{port} 5\r\n", 1.0,
                          1, loopback6);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0], "5\r\n" + core::ToShortXml(outlet_->Info()));
}

TEST_F(LiveOutlet, DiscoveryPortAnswersMatchingQueriesOnly) {
  const auto port = net::ApiConfig().multicast_port;
  auto replies =
      UdpExchange(port, "LSL:shortinfo\r\nsession_id='" + net::ApiConfig().session_id +
                            "' and type='Markers' and name='LiveTest'\r\n{port} 4242\r\n");
  ASSERT_FALSE(replies.empty());
  EXPECT_EQ(replies[0], "4242\r\n" + core::ToShortXml(outlet_->Info()));
  EXPECT_TRUE(UdpExchange(port, "LSL:shortinfo\r\ntype='EEG'\r\n{port} 4243\r\n", 0.3).empty());
  EXPECT_TRUE(UdpExchange(port, "LSL:timedata\r\n1 2.0\r\n", 0.3).empty())
      << "time probes go to the service port only";
}

TEST_F(LiveOutlet, HostileClientsDoNotDisturbAConsumer) {
  auto good = Consumer();
  std::atomic<bool> stop{false};
  std::thread hostile([&] {
    std::mt19937 rng(42);
    std::vector<std::unique_ptr<RawClient>> stalled;
    int round = 0;
    while (!stop) {
      try {
        switch (round++ % 6) {
          case 0: {  // garbage, then gone
            RawClient c(DataPort());
            std::string junk(3000, '\0');
            for (auto &b : junk) b = static_cast<char>(rng());
            c.Send(junk);
            break;
          }
          case 1: {  // a line without end, longer than any request line
            RawClient c(DataPort());
            c.Send(std::string(core::kMaxRequestLineBytes + 100, 'A'));
            c.ReadToEnd(2.0);
            break;
          }
          case 2: {  // byte at a time
            RawClient c(DataPort());
            for (char b : FeedRequest(Uid(), 5)) c.Send(std::string(1, b));
            c.Read(157);
            break;
          }
          case 3:  // stalled half-way through a request, kept open
            if (stalled.size() < 8) {
              stalled.push_back(std::make_unique<RawClient>(DataPort()));
              stalled.back()->Send("LSL:streamfeed/110 " + Uid() + "\r\nMax-Buf");
            }
            break;
          case 4: {  // datagrams of junk to both UDP ports
            std::string junk(500, '\0');
            for (auto &b : junk) b = static_cast<char>(rng());
            UdpExchange(ServicePort(), junk, 0.01);
            UdpExchange(net::ApiConfig().multicast_port, "LSL:shortinfo\r\n" + junk, 0.01);
            break;
          }
          case 5: {  // a consumer that never reads
            if (stalled.size() < 8) {
              stalled.push_back(std::make_unique<RawClient>(DataPort(), 2048));
              stalled.back()->Send(FeedRequest(Uid(), 36000));
            }
            break;
          }
        }
      } catch (const std::exception &) {
        // the outlet may refuse or reset hostile connections
      }
    }
  });
  std::vector<Marker> got;
  for (int i = 0; i < 300; ++i) {
    Push("tick-" + std::to_string(i) + std::string(200, '.'), 100.0 + i);
    if (i % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  got = good->Markers(300, 30.0);
  stop = true;
  hostile.join();
  ASSERT_EQ(got.size(), 300u);
  for (int i = 0; i < 300; ++i) ASSERT_EQ(got[i].timestamp, 100.0 + i);
}

TEST_F(LiveOutlet, UnfinishedRequestsEndAtTheRequestTimeout) {
  core::Config hasty = net::ApiConfig();
  hasty.request_timeout = 0.2;
  auto outlet = OpenOutlet(MarkerInfo("Hasty"), 360, hasty);
  RawClient silent(outlet->Info().v4data_port);
  RawClient unfinished(outlet->Info().v4data_port);
  unfinished.Send("LSL:streamfeed/110 " + outlet->Info().uid + "\r\nMax-Buf");
  EXPECT_EQ(silent.ReadToEnd(30.0), "");
  EXPECT_TRUE(silent.Closed());
  EXPECT_EQ(unfinished.ReadToEnd(30.0), "");
  EXPECT_TRUE(unfinished.Closed());
}

TEST(OutletPorts, EachSocketThatCannotBeBoundIsOneWarning) {
  std::vector<std::string> warnings;
  net::SetLogSink([&](std::string_view line) { warnings.emplace_back(line); });
  core::Config config = net::ApiConfig();
  config.multicast_port = 16999;
  config.ipv6 = core::IPv6Mode::kDisable;
  const auto targets = core::ScopeAddressesFor(config).ipv4.size();
  {
    // Another program holds the discovery port; the stream still starts.
    asio::io_context io;
    udp::socket discovery(io, udp::endpoint(asio::ip::address_v4::any(), config.multicast_port));
    auto outlet = OpenOutlet(MarkerInfo("Crowded"), 360, config);
    EXPECT_NE(outlet->Info().v4service_port, 0);
  }
  net::SetLogSink(nullptr);
  ASSERT_EQ(warnings.size(), targets);
  for (const auto &line : warnings) {
    EXPECT_EQ(line.rfind("lsl: could not bind the IPv4 discovery port 16999 for ", 0), 0u) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

TEST(OutletPorts, AListenAddressThatIsNoAddressIsAnError) {
  core::Config config = net::ApiConfig();
  config.listen_address = "not-an-address";
  const auto outlet = net::Outlet::Create(MarkerInfo("Nowhere"), 360, config);
  ASSERT_FALSE(outlet);
  EXPECT_EQ(outlet.Code(), net::OutletError::kBadListenAddress);
  EXPECT_EQ(outlet.Message(), "ListenAddress is not an IP address: not-an-address");
}

TEST_F(LiveOutlet, DestroyClosesConsumersWithoutAFakeSample) {
  auto c = Consumer();
  Push("last", 9.0);
  ASSERT_EQ(c->Markers(1).size(), 1u);
  const auto port = DataPort();
  outlet_.reset();
  EXPECT_EQ(c->ReadToEnd(2.0), "");
  EXPECT_TRUE(c->Closed());
  EXPECT_THROW(RawClient{port}, std::system_error) << "the listener is gone";
}

}  // namespace
}  // namespace maroquint::lsl::test
