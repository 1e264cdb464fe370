// Cost of lsl_push_sample_str with 0, 1 and 16 consumers connected: one
// marker every millisecond, consumers that read whatever arrives (and sleep
// in the kernel in between), as the program's own push sees it. Prints the
// median and p99 of the push call and the heap allocations per push, all
// threads of the process counted. Run it through tools/netns-run.

#include "allocation_counter.h"

#include <benchmark/benchmark.h>

#include <asio.hpp>

#include <lsl_c.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/stats.h"

namespace {

using asio::ip::tcp;
using asio::ip::udp;

std::string XmlField(const std::string &xml, const std::string &name) {
  const auto open = "<" + name + ">";
  const auto at = xml.find(open);
  if (at == std::string::npos) return "";
  const auto from = at + open.size();
  return xml.substr(from, xml.find('<', from) - from);
}

// The outlet's uid and data port, asked of it the way a resolver does.
bool Discover(const std::string &name, std::string &uid, uint16_t &port) {
  asio::io_context io;
  udp::socket socket(io, udp::endpoint(asio::ip::address_v4::loopback(), 0));
  const auto query = "LSL:shortinfo\r\nname='" + name + "'\r\n" +
                     std::to_string(socket.local_endpoint().port()) + " 1\r\n";
  socket.send_to(asio::buffer(query), udp::endpoint(asio::ip::address_v4::loopback(), 16571));
  std::vector<char> reply(65536);
  std::size_t got = 0;
  socket.async_receive(asio::buffer(reply), [&](const asio::error_code &ec, std::size_t n) {
    if (!ec) got = n;
  });
  io.run_for(std::chrono::seconds(3));
  if (got == 0) return false;
  const std::string xml(reply.data(), got);
  uid = XmlField(xml, "uid");
  port = static_cast<uint16_t>(std::atoi(XmlField(xml, "v4data_port").c_str()));
  return !uid.empty() && port != 0;
}

// A consumer with a thread that reads until the connection ends.
class Consumer {
 public:
  Consumer(uint16_t port, const std::string &uid) : socket_(io_) {
    socket_.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    const auto request = "LSL:streamfeed/110 " + uid + "\r\nMax-Buffer-Length: 36000\r\n\r\n";
    asio::write(socket_, asio::buffer(request));
    std::vector<char> handshake(157);
    asio::read(socket_, asio::buffer(handshake));
    reader_ = std::thread([this] {
      std::vector<char> buffer(65536);
      asio::error_code ec;
      while (!ec) socket_.read_some(asio::buffer(buffer), ec);
    });
  }
  ~Consumer() {
    asio::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    reader_.join();
  }

 private:
  asio::io_context io_;
  tcp::socket socket_;
  std::thread reader_;
};

void BmLslPush(benchmark::State &state) {
  const auto consumers = static_cast<int>(state.range(0));
  const std::string name = "PushBench" + std::to_string(consumers);
  lsl_streaminfo info = lsl_create_streaminfo(name.c_str(), "Markers", 1, LSL_IRREGULAR_RATE,
                                              cft_string, "push-bench-source");
  lsl_outlet outlet = lsl_create_outlet(info, 0, 360);
  lsl_destroy_streaminfo(info);
  std::string uid;
  uint16_t port = 0;
  if (!outlet || !Discover(name, uid, port)) {
    state.SkipWithError("outlet not created or not found on 127.0.0.1:16571");
    lsl_destroy_outlet(outlet);
    return;
  }
  std::vector<std::unique_ptr<Consumer>> readers;
  for (int i = 0; i < consumers; ++i) readers.push_back(std::make_unique<Consumer>(port, uid));

  const char *marker[] = {"/Experiment Control/Synchronization/Trigger/Biosemi"};
  // Reach the steady state: buffers sized, connections warm.
  for (int i = 0; i < 2000; ++i) {
    lsl_push_sample_str(outlet, marker);
    if (i % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(state.max_iterations));
  const auto allocations_before = AllocationsSoFar();
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = std::chrono::steady_clock::now();
    lsl_push_sample_str(outlet, marker);
    const auto end = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  const auto allocations = AllocationsSoFar() - allocations_before;
  const auto pushes = static_cast<double>(micros.size());

  const double median = maroquint::base::NearestRankPercentile(micros, 0.5);
  const double p99 = maroquint::base::NearestRankPercentile(micros, 0.99);
  const double per_push = pushes > 0 ? static_cast<double>(allocations) / pushes : 0.0;
  state.counters["median_us"] = median;
  state.counters["p99_us"] = p99;
  state.counters["allocs_per_push"] = per_push;
  std::printf(
      "lsl_push_sample_str, %d consumer(s), pushes 1 ms apart: median %.2f us, p99 %.2f us, "
      "max %.2f us, %.4f heap allocations per push (%lld in %zu pushes, all threads)\n",
      consumers, median, p99, *std::max_element(micros.begin(), micros.end()), per_push,
      allocations, micros.size());
  readers.clear();
  lsl_destroy_outlet(outlet);
}

// What waking one idle thread costs the waker on this machine, 1 ms apart:
// the floor under a push that has a consumer to serve.
void BmWakeIdleThread(benchmark::State &state) {
  std::mutex mutex;
  std::condition_variable wake;
  bool pending = false;
  bool stop = false;
  std::thread sleeper([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stop) {
      wake.wait(lock, [&] { return pending || stop; });
      pending = false;
    }
  });
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto start = std::chrono::steady_clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex);
      pending = true;
    }
    wake.notify_one();
    const auto end = std::chrono::steady_clock::now();
    micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  wake.notify_one();
  sleeper.join();
  state.counters["median_us"] = maroquint::base::NearestRankPercentile(micros, 0.5);
  state.counters["p99_us"] = maroquint::base::NearestRankPercentile(micros, 0.99);
  std::printf(
      "condition_variable::notify_one to an idle thread, 1 ms apart: median %.2f us, p99 %.2f us\n",
      maroquint::base::NearestRankPercentile(micros, 0.5),
      maroquint::base::NearestRankPercentile(micros, 0.99));
}

BENCHMARK(BmWakeIdleThread)->Iterations(3000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BmLslPush)->Arg(0)->Arg(1)->Arg(16)->Iterations(3000)->UseManualTime()->Unit(
    benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
