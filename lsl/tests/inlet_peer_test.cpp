// The inlet against scripted peers on loopback: a replay of what a real
// liblsl outlet sent, its error replies, and outlets that misbehave. Each
// peer is a plain socket in this process, so the inlet's own reading and
// error paths are what is tested.
#include "net/inlet.h"

#include "api/handles.h"
#include "core/config.h"
#include "core/stream_info.h"
#include "net/config_loader.h"
#include "net/resolver.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lsl_c.h"
#include "stream_fixtures.h"
#include "transcript.h"

namespace maroquint::lsl::net {
namespace {

using std::chrono::milliseconds;

using test::kTranscriptUid;

// Serves one TCP connection with a script: it receives the request, then
// writes whatever the script decides.
class ScriptedOutlet {
 public:
  using Script = std::function<void(asio::ip::tcp::socket &, const std::string &request)>;

  explicit ScriptedOutlet(Script script)
      : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}), script_(std::move(script)) {
    thread_ = std::thread([this] {
      asio::error_code ec;
      asio::ip::tcp::socket socket(io_);
      acceptor_.accept(socket, ec);
      if (ec || stopping_) return;
      std::string request;
      asio::read_until(socket, asio::dynamic_buffer(request), "\r\n\r\n", ec);
      request_ = request;
      script_(socket, request);
      // Hold the connection until the test is done with it.
      std::array<char, 256> sink{};
      while (!ec) socket.read_some(asio::buffer(sink), ec);
    });
  }
  ~ScriptedOutlet() {
    stopping_ = true;
    {
      // Unblocks accept() if the inlet never connected.
      asio::error_code ec;
      asio::ip::tcp::socket poke(io_);
      poke.connect({asio::ip::address_v4::loopback(), Port()}, ec);
    }
    thread_.join();
  }

  uint16_t Port() {
    if (port_ == 0) port_ = acceptor_.local_endpoint().port();
    return port_;
  }
  const std::string &Request() const { return request_; }

 private:
  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  Script script_;
  std::thread thread_;
  std::string request_;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
};

// The transcripts' stream, served by a scripted peer on loopback.
core::StreamInfo TranscriptStream(uint16_t data_port, uint16_t service_port = 0) {
  core::StreamInfo info = test::TranscriptInfo();
  info.v4address = "127.0.0.1";
  info.v4data_port = data_port;
  info.v4service_port = service_port;
  return info;
}

void Write(asio::ip::tcp::socket &socket, const std::string &bytes) {
  asio::error_code ec;
  asio::write(socket, asio::buffer(bytes), ec);
}

struct Pulled {
  double timestamp;
  std::string text;
  InletResult result;
};

// An inlet; a test cannot go on without one.
std::unique_ptr<Inlet> OpenInlet(const core::Config &config, core::StreamInfo info,
                                 int32_t max_buflen, int32_t max_chunklen, bool recover) {
  auto inlet = Inlet::Create(config, std::move(info), max_buflen, max_chunklen, recover);
  if (!inlet) throw std::runtime_error(inlet.Message());
  return std::move(*inlet);
}

// An inlet with the default configuration, without recovery, for the
// transcripts' stream served at these ports.
std::unique_ptr<Inlet> InletOn(uint16_t data_port, uint16_t service_port = 0) {
  static const core::Config kDefaults;
  return OpenInlet(kDefaults, TranscriptStream(data_port, service_port), 360, 0, false);
}

Pulled Pull(Inlet &inlet, double timeout = 5.0) {
  std::vector<std::string> values;
  InletResult result;
  const double ts = inlet.PullSample(values, timeout, result);
  return {ts, values.empty() ? std::string() : values[0], result};
}

TEST(InletAgainstRecordedOutlet, ReadsEveryMarkerOfTheRecordedConnection) {
  ScriptedOutlet peer([](asio::ip::tcp::socket &socket, const std::string &) {
    // In small pieces, so that every field is split somewhere.
    const std::string reply =
        test::TranscriptStream(test::ReadTranscript("04_streamfeed.json"), "s2c");
    for (std::size_t i = 0; i < reply.size(); i += 5) {
      Write(socket, reply.substr(i, 5));
      if (i % 100 == 0) std::this_thread::sleep_for(milliseconds(2));
    }
  });
  auto inlet_handle = InletOn(peer.Port());
  Inlet &inlet = *inlet_handle;
  ASSERT_EQ(inlet.OpenStream(5.0), InletResult::kOk);
  for (const auto &[text, ts] : test::Transcript04Markers()) {
    const Pulled p = Pull(inlet);
    ASSERT_EQ(p.result, InletResult::kOk);
    EXPECT_EQ(p.text, text);
    EXPECT_EQ(p.timestamp, ts);
  }
  // The request carried everything a liblsl inlet sends, in its order.
  std::string theirs =
      test::TranscriptBytes(test::ReadTranscript("04_streamfeed.json"), "", "request");
  const std::string measured = "Endian-Performance: 1.31668e+07\r\n";
  theirs.replace(theirs.find(measured), measured.size(), "Endian-Performance: 0\r\n");
  EXPECT_EQ(peer.Request(), theirs);
}

// Replies after which the stream is gone for an inlet that does not recover.
struct BadReply {
  const char *what;
  std::string bytes;
};

class InletAgainstFailingOutlet : public ::testing::TestWithParam<BadReply> {};

TEST_P(InletAgainstFailingOutlet, ReportsTheStreamLost) {
  const std::string bytes = GetParam().bytes;
  ScriptedOutlet peer([&bytes](asio::ip::tcp::socket &socket, const std::string &) {
    Write(socket, bytes);
    asio::error_code ec;
    socket.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
  });
  auto inlet_handle = InletOn(peer.Port());
  Inlet &inlet = *inlet_handle;
  // Corruption after good test patterns may let the open succeed first.
  EXPECT_NE(inlet.OpenStream(5.0), InletResult::kTimeout);
  const Pulled p = Pull(inlet, 1.0);
  EXPECT_EQ(p.result, InletResult::kLost);
  EXPECT_EQ(p.timestamp, 0.0);
}

std::string WithHeader(const std::string &samples) {
  return "LSL/110 200 OK\r\nUID: " + kTranscriptUid +
         "\r\nByte-Order: 1234\r\nSuppress-Subnormals: 0\r\nData-Protocol-Version: 110\r\n\r\n" +
         samples;
}

std::string Received06(const char *exchange) {
  return test::TranscriptBytes(test::ReadTranscript("06_streamfeed_variants.json"), exchange,
                               "received");
}

const std::string kPattern(
    "\x02\xc9v\xbe\x9f\x0c$\xfe@\x01\x02"
    "10",
    13);

INSTANTIATE_TEST_SUITE_P(
    Replies, InletAgainstFailingOutlet,
    ::testing::Values(
        BadReply{"not found", Received06("tcp_streamfeed_wrong_uid")},
        BadReply{"version not supported", Received06("tcp_streamfeed_version_200")},
        BadReply{"legacy protocol", Received06("tcp_streamfeed_110_protocol_version_header_100")},
        BadReply{"not LSL", "HTTP/1.1 200 OK\r\n\r\n"},
        BadReply{"endless header", "LSL/110 200 OK\r\n" + std::string(20000, 'h')},
        BadReply{"closed mid-header", "LSL/110 200 OK\r\nByte-Order: 1234\r\n"},
        BadReply{"wrong test pattern",
                 WithHeader(kPattern + std::string("\x02\xc9v\xbe\x9f\x0c$\xfe@\x01\x02"
                                                   "11",
                                                   13))},
        BadReply{
            "absurd string length",
            WithHeader(kPattern + kPattern +
                       std::string("\x02\0\0\0\0\0\0\xf0\x3f\x08\xff\xff\xff\xff\xff\xff\xff\x0f",
                                   18))},
        BadReply{"unknown tag", WithHeader(kPattern + kPattern + std::string("\x07", 1))}),
    [](const ::testing::TestParamInfo<BadReply> &param_info) {
      std::string name;
      for (const char c : std::string(param_info.param.what))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST(InletAgainstFailingOutlet, AnOutletThatSaysNothingTimesTheOpenOut) {
  ScriptedOutlet peer([](asio::ip::tcp::socket &, const std::string &) {});
  auto inlet_handle = InletOn(peer.Port());
  Inlet &inlet = *inlet_handle;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(inlet.OpenStream(0.3), InletResult::kTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6))
      << "the open outlived its timeout";
  EXPECT_EQ(Pull(inlet, 0.1).result, InletResult::kTimeout);
}

TEST(InletAgainstFailingOutlet, NobodyListeningMeansLost) {
  uint16_t port;
  {
    asio::io_context io;
    asio::ip::tcp::acceptor closed(io, {asio::ip::address_v4::loopback(), 0});
    port = closed.local_endpoint().port();
  }
  auto inlet_handle = InletOn(port);
  Inlet &inlet = *inlet_handle;
  EXPECT_EQ(inlet.OpenStream(5.0), InletResult::kLost);
  core::StreamInfo full;
  EXPECT_EQ(inlet.FullInfo(1.0, full), InletResult::kLost);
}

TEST(InletWatchdog, SwitchesToAReplacementWhenItsOutletFallsSilent) {
  // The old outlet keeps the connection open but sends nothing and answers
  // no query, as a liblsl outlet may while its process winds down.
  ScriptedOutlet silent([](asio::ip::tcp::socket &socket, const std::string &) {
    Write(socket, WithHeader(kPattern + kPattern));
  });
  core::Config config = ApiConfig();
  config.watchdog_check_interval = 0.2;
  config.watchdog_time_threshold = 0.2;
  core::StreamInfo info = TranscriptStream(silent.Port());
  info.source_id = "watchdog-source";
  auto inlet_handle = OpenInlet(config, info, 360, 0, true);

  Inlet &inlet = *inlet_handle;
  ASSERT_EQ(inlet.OpenStream(5.0), InletResult::kOk);

  lsl_streaminfo declared = lsl_create_streaminfo(
      "TranscriptTest", "Markers", 1, LSL_IRREGULAR_RATE, cft_string, "watchdog-source");
  lsl_outlet replacement = lsl_create_outlet(declared, 0, 360);
  lsl_destroy_streaminfo(declared);
  ASSERT_NE(replacement, nullptr);
  EXPECT_EQ(lsl_wait_for_consumers(replacement, 10.0), 1);
  const char *marker[] = {"from-the-replacement"};
  lsl_push_sample_str(replacement, marker);
  const Pulled p = Pull(inlet);
  EXPECT_EQ(p.result, InletResult::kOk);
  EXPECT_EQ(p.text, "from-the-replacement");
  lsl_destroy_outlet(replacement);
}

TEST(InletBuffer, ASlowConsumerLosesOnlyTheOldestBeyondItsBuffer) {
  lsl_streaminfo declared =
      lsl_create_streaminfo("Flood", "Markers", 1, LSL_IRREGULAR_RATE, cft_string, "flood-source");
  lsl_outlet outlet = lsl_create_outlet(declared, 0, 360);
  lsl_destroy_streaminfo(declared);
  ASSERT_NE(outlet, nullptr);
  lsl_streaminfo found = nullptr;
  ASSERT_EQ(lsl_resolve_byprop(&found, 1, "name", "Flood", 1, 5.0), 1);
  {
    // max_buflen 1 on an irregular stream: 100 samples.
    auto inlet_handle = OpenInlet(ApiConfig(), found->info, 1, 0, false);

    Inlet &inlet = *inlet_handle;
    ASSERT_EQ(inlet.OpenStream(5.0), InletResult::kOk);
    constexpr int kPushed = 1000;
    for (int i = 0; i < kPushed; ++i) {
      const std::string text = "n" + std::to_string(i);
      const char *marker[] = {text.c_str()};
      lsl_push_sample_strt(outlet, marker, 1.0 + i);
    }
    // Once the last marker is in, the queue holds the newest 100.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (inlet.NewestTimestamp() < kPushed && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(inlet.NewestTimestamp(), static_cast<double>(kPushed));
    EXPECT_EQ(inlet.SamplesAvailable(), 100u);
    for (int i = kPushed - 100; i < kPushed; ++i)
      EXPECT_EQ(Pull(inlet).text, "n" + std::to_string(i));
    EXPECT_EQ(Pull(inlet, 0.2).result, InletResult::kTimeout);
  }
  lsl_destroy_streaminfo(found);
  lsl_destroy_outlet(outlet);
}

TEST(ResolveKnownPeers, FindsAStreamThroughItsServicePortAlone) {
  lsl_streaminfo declared = lsl_create_streaminfo("PeerStream", "Markers", 1, LSL_IRREGULAR_RATE,
                                                  cft_string, "peer-source");
  lsl_outlet outlet = lsl_create_outlet(declared, 0, 360);
  lsl_destroy_streaminfo(declared);
  ASSERT_NE(outlet, nullptr);
  // No discovery address at all: only the unicast waves to the peer's port range remain.
  core::Config config = ApiConfig();
  config.resolve_scope = core::ResolveScope::kMachine;
  config.machine_addresses.clear();
  const std::string query = "name='PeerStream'";
  EXPECT_TRUE(Resolve(config, query, 1, 1.0)->empty());
  config.known_peers = {"127.0.0.1"};
  const auto start = std::chrono::steady_clock::now();
  const std::vector<core::StreamInfo> found = *Resolve(config, query, 1, 5.0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].source_id, "peer-source");
  EXPECT_EQ(found[0].v4address, "127.0.0.1");
  // The first unicast wave leaves half a second after the first multicast wave.
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(450));
  // A peer given by name is looked up without holding the resolve up.
  config.known_peers = {"localhost"};
  EXPECT_EQ(Resolve(config, query, 1, 5.0)->size(), 1u);
  lsl_destroy_outlet(outlet);
}

// Answers LSL:timedata like an outlet whose clock is `offset` seconds ahead.
class ScriptedTimeService {
 public:
  explicit ScriptedTimeService(double offset)
      : socket_(io_, {asio::ip::address_v4::loopback(), 0}),
        port_(socket_.local_endpoint().port()),
        offset_(offset) {
    thread_ = std::thread([this] {
      std::array<char, 512> buffer{};
      asio::ip::udp::endpoint from;
      for (;;) {
        asio::error_code ec;
        const std::size_t n = socket_.receive_from(asio::buffer(buffer), from, 0, ec);
        if (stopping_) return;
        if (ec) continue;
        const std::string probe(buffer.data(), n);
        int wave = 0;
        double t0 = 0.0;
        if (std::sscanf(probe.c_str(), "LSL:timedata\r\n%d %lf", &wave, &t0) != 2) continue;
        const double t1 = Now() + offset_;
        char reply[128];
        std::snprintf(reply, sizeof reply, " %d %.16g %.16g %.16g", wave, t0, t1, Now() + offset_);
        socket_.send_to(asio::buffer(std::string(reply)), from, 0, ec);
        ++answered_;
      }
    });
  }
  ~ScriptedTimeService() {
    stopping_ = true;
    // A datagram wakes the blocked receive.
    asio::error_code ec;
    asio::ip::udp::socket poke(io_);
    poke.open(asio::ip::udp::v4(), ec);
    poke.send_to(asio::buffer(std::string("stop")), {asio::ip::address_v4::loopback(), port_}, 0,
                 ec);
    thread_.join();
  }
  uint16_t Port() const { return port_; }
  int Answered() const { return answered_; }

  static double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

 private:
  asio::io_context io_;
  asio::ip::udp::socket socket_;
  uint16_t port_;
  double offset_;
  std::thread thread_;
  std::atomic<int> answered_{0};
  std::atomic<bool> stopping_{false};
};

TEST(InletTimeCorrection, MeasuresAnOutletClockFarAhead) {
  ScriptedTimeService service(250.0);
  auto inlet_handle = InletOn(1, service.Port());
  Inlet &inlet = *inlet_handle;
  InletResult result;
  const double before = ScriptedTimeService::Now();
  const core::TimeEstimate estimate = inlet.TimeEstimate(5.0, result);
  const double after = ScriptedTimeService::Now();
  ASSERT_EQ(result, InletResult::kOk);
  EXPECT_NEAR(estimate.correction, -250.0, 0.001);
  EXPECT_GT(estimate.rtt, 0.0);
  EXPECT_LT(estimate.rtt, 0.01);
  // The winning probe was answered on the outlet's clock during the call.
  EXPECT_GE(estimate.remote_time, before + 250.0);
  EXPECT_LE(estimate.remote_time, after + 250.0);
  EXPECT_GE(service.Answered(), 8);
}

TEST(InletTimeCorrection, WithoutAnswersItTimesOut) {
  asio::io_context io;
  asio::ip::udp::socket silent(io, {asio::ip::address_v4::loopback(), 0});
  auto inlet_handle = InletOn(1, silent.local_endpoint().port());
  Inlet &inlet = *inlet_handle;
  InletResult result;
  EXPECT_EQ(inlet.TimeEstimate(1.0, result).correction, 0.0);
  EXPECT_EQ(result, InletResult::kTimeout);
}

}  // namespace
}  // namespace maroquint::lsl::net
