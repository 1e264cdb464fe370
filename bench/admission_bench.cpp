// The program in real time on the simulated device, with a consumer from the
// start, while peers that never behave load its outlet, one load after the
// other: 1000 idle TCP connections held open; 300 streaming consumers that
// never read; 80 unfinished requests, each refreshed a byte a second. For
// each load (and for none, to compare): how long a new consumer waits to be
// admitted and for its first marker, the intervals between the markers as
// the first consumer sees them, whether it lost any, and the program's
// resident memory. A measurement: nothing fails on the figures.
//
// Usage: admission_bench [seconds-per-load]   (default 20; run it through
// tools/netns-run so that its stream stays on this machine)

#include "program.h"

#include <lsl_c.h>
#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using maroquint::harness::kSourceId;
using maroquint::harness::kStartLine;

constexpr double kPeriod = 1.0;
constexpr double kGenerous = 60.0;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Element(const std::string &xml, const std::string &name) {
  const std::string open = "<" + name + ">";
  const auto start = xml.find(open);
  if (start == std::string::npos) return std::string();
  const auto end = xml.find("</" + name + ">", start);
  return xml.substr(start + open.size(), end - start - open.size());
}

// The time stamps of every marker a consumer connected from the start pulls.
class Watcher {
 public:
  explicit Watcher(lsl_streaminfo info) : inlet_(lsl_create_inlet(info, 36000, 0, 1)) {
    int32_t error = 0;
    lsl_open_stream(inlet_, kGenerous, &error);
    thread_ = std::thread([this] {
      while (!stop_) {
        int32_t e = 0;
        char *text[1] = {nullptr};
        const double stamp = lsl_pull_sample_str(inlet_, text, 1, 0.2, &e);
        if (stamp == 0.0) continue;
        lsl_destroy_string(text[0]);
        std::lock_guard<std::mutex> lock(mutex_);
        stamps_.push_back(stamp);
      }
    });
  }
  ~Watcher() {
    stop_ = true;
    thread_.join();
    lsl_destroy_inlet(inlet_);
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stamps_.size();
  }
  std::vector<double> Since(std::size_t first) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<double>(stamps_.begin() + static_cast<std::ptrdiff_t>(first), stamps_.end());
  }

 private:
  lsl_inlet inlet_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<double> stamps_;
  std::thread thread_;
};

struct Target {
  lsl_streaminfo info;
  uint16_t port;
  std::string uid;
};

std::string FeedRequest(const std::string &uid) {
  return "LSL:streamfeed/110 " + uid +
         "\r\nMax-Buffer-Length: 36000\r\nMax-Chunk-Length: 0\r\n\r\n";
}

std::unique_ptr<tcp::socket> Connect(asio::io_context &io, uint16_t port, int receive_buffer = 0) {
  auto s = std::make_unique<tcp::socket>(io);
  asio::error_code ec;
  s->open(tcp::v4(), ec);
  if (receive_buffer > 0) s->set_option(asio::socket_base::receive_buffer_size(receive_buffer), ec);
  s->connect(tcp::endpoint(asio::ip::address_v4::loopback(), port), ec);
  return ec ? nullptr : std::move(s);
}

void Measure(const char *title, const Target &target, Watcher &watcher,
             const maroquint::harness::ChildProcess &program, double seconds) {
  const std::size_t first = watcher.Count();
  const auto start = Clock::now();
  lsl_inlet newcomer = lsl_create_inlet(target.info, 360, 0, 1);
  int32_t error = 0;
  lsl_open_stream(newcomer, kGenerous, &error);
  const double admitted = SecondsSince(start);
  char *text[1] = {nullptr};
  const double stamp = lsl_pull_sample_str(newcomer, text, 1, kGenerous, &error);
  const double first_marker = SecondsSince(start);
  if (stamp != 0.0) lsl_destroy_string(text[0]);
  lsl_destroy_inlet(newcomer);
  while (SecondsSince(start) < seconds) std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const std::vector<double> stamps = watcher.Since(first);
  std::vector<double> deviations;
  long lost = 0;
  for (std::size_t i = 1; i < stamps.size(); ++i) {
    const double interval = stamps[i] - stamps[i - 1];
    lost += std::lround(interval / kPeriod) - 1;
    deviations.push_back(std::fabs(interval - std::round(interval / kPeriod) * kPeriod));
  }
  std::sort(deviations.begin(), deviations.end());
  const double median = deviations.empty() ? 0.0 : deviations[deviations.size() / 2];
  const double worst = deviations.empty() ? 0.0 : deviations.back();
  std::printf(
      "%s\n  new consumer admitted after %.3f s, its first marker after %.3f s\n"
      "  %zu intervals: |interval - period| median %.1f us, worst %.1f us; lost %ld\n"
      "  program RSS %ld KiB\n",
      title, admitted, stamp != 0.0 ? first_marker : -1.0, deviations.size(), median * 1e6,
      worst * 1e6, lost, program.ResidentKib());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 20.0;
  if (!(seconds >= 3 && seconds <= 3600)) {
    std::fprintf(stderr, "usage: admission_bench [seconds-per-load (3 to 3600)]\n");
    return 2;
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  const auto program = maroquint::harness::StartProgram("clock=realtime;wire=connected");
  if (!program->Started() || !program->ReadUntil(kStartLine)) {
    std::fprintf(stderr, "maroquint did not start: %s\n", program->Output().c_str());
    return 1;
  }
  Target target{nullptr, 0, ""};
  if (lsl_resolve_byprop(&target.info, 1, "source_id", kSourceId, 1, kGenerous) < 1) {
    std::fprintf(stderr, "the marker stream was not found\n");
    return 1;
  }
  char *xml = lsl_get_xml(target.info);
  target.port = static_cast<uint16_t>(std::atoi(Element(xml, "v4data_port").c_str()));
  target.uid = Element(xml, "uid");
  lsl_destroy_string(xml);
  Watcher watcher(target.info);

  Measure("no load", target, watcher, *program, seconds);
  asio::io_context io;
  {
    std::vector<std::unique_ptr<tcp::socket>> idle;
    for (int i = 0; i < 1000; ++i)
      if (auto s = Connect(io, target.port)) idle.push_back(std::move(s));
    std::printf("(%zu idle connections open)\n", idle.size());
    Measure("1000 idle connections", target, watcher, *program, seconds);
  }
  {
    std::vector<std::unique_ptr<tcp::socket>> stalled;
    const std::string request = FeedRequest(target.uid);
    for (int i = 0; i < 300; ++i) {
      auto s = Connect(io, target.port, 2048);
      asio::error_code ec;
      if (s) asio::write(*s, asio::buffer(request), ec);
      if (s && !ec) stalled.push_back(std::move(s));
    }
    std::printf("(%zu consumers that never read)\n", stalled.size());
    Measure("300 consumers that never read", target, watcher, *program, seconds);
  }
  {
    // Each dripper keeps one unfinished request open, reconnecting whenever
    // the outlet drops it.
    std::atomic<bool> stop{false};
    std::atomic<long> reconnects{0};
    std::thread drippers([&] {
      std::vector<std::unique_ptr<tcp::socket>> sockets(80);
      const std::string request = FeedRequest(target.uid);
      std::vector<std::size_t> sent(sockets.size(), 0);
      while (!stop) {
        for (std::size_t i = 0; i < sockets.size(); ++i) {
          asio::error_code ec;
          if (sockets[i]) asio::write(*sockets[i], asio::buffer(&request[sent[i]], 1), ec);
          if (!sockets[i] || ec) {
            if (sockets[i]) ++reconnects;
            sockets[i] = Connect(io, target.port);
            sent[i] = 0;
            continue;
          }
          // Never the last byte: the request stays unfinished.
          sent[i] = (sent[i] + 1) % (request.size() - 1);
        }
        for (int tick = 0; tick < 20 && !stop; ++tick)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
    Measure("80 requests dripping a byte a second", target, watcher, *program, seconds);
    stop = true;
    drippers.join();
    std::printf("(the outlet dropped an unfinished request %ld times)\n", reconnects.load());
  }
  lsl_destroy_streaminfo(target.info);
  return 0;
}
