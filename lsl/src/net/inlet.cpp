#include "net/inlet.h"

#include "core/query.h"
#include "net/data_feed.h"
#include "net/info_request.h"
#include "net/log.h"
#include "net/platform.h"
#include "net/resolver.h"

#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>

namespace lsl::net {
namespace {

// Pause before reconnecting after a failed or broken connection.
constexpr double kRetryDelay = 0.5;
// A recovery resolve keeps looking until it finds the stream.
constexpr double kRecoveryResolveTimeout = 32000000.0;

std::chrono::steady_clock::duration Seconds(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(s > 0.0 ? s : 0.0));
}

std::chrono::steady_clock::time_point DeadlineAfter(double timeout) {
  // Beyond this a wait is "forever"; capping keeps the time_point from
  // overflowing. A negative or NaN timeout means no wait at all.
  constexpr double kLongest = 1e9;
  if (!(timeout > 0.0)) timeout = 0.0;
  return std::chrono::steady_clock::now() + Seconds(timeout < kLongest ? timeout : kLongest);
}

bool EndpointOf(const core::StreamInfo &info, uint16_t port, asio::ip::address_v4 &address) {
  asio::error_code ec;
  address = asio::ip::make_address_v4(info.v4address, ec);
  return !ec && port != 0;
}

}  // namespace

bool Inlet::Accepts(const core::StreamInfo &info) {
  return info.channel_format == core::ChannelFormat::kString && info.channel_count >= 1 &&
         info.channel_count <= kMaxInletChannels;
}

Inlet::Inlet(const core::Config &config, core::StreamInfo info, int32_t max_buflen,
             int32_t max_chunklen, bool recover)
    : config_(config),
      declared_(std::move(info)),
      capacity_(
          static_cast<std::size_t>(core::FeedBufferLength(max_buflen, declared_.nominal_srate))),
      max_buffer_length_(core::FeedBufferLength(max_buflen, declared_.nominal_srate)),
      max_chunk_length_(max_chunklen > 0 ? max_chunklen : 0),
      recover_(recover),
      work_(asio::make_work_guard(io_)),
      current_(declared_),
      retry_timer_(io_),
      watchdog_timer_(io_),
      time_sync_(
          io_, config_,
          [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            return current_;
          },
          [this](const core::TimeEstimate &estimate) {
            {
              std::lock_guard<std::mutex> lock(mutex_);
              estimate_ = estimate;
            }
            changed_.notify_all();
          }) {
  thread_ = std::thread([this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception &e) {
        // A handler failed (out of memory); the inlet carries on with the next one.
        LogWarning(std::string("inlet: ") + e.what());
      } catch (...) {
        LogWarning("inlet: unknown error");
      }
    }
  });
}

Inlet::~Inlet() {
  work_.reset();
  io_.stop();
  thread_.join();
}

void Inlet::EnsureFeedStarted() {
  if (feed_started_ || lost_) return;
  feed_started_ = true;
  asio::post(io_, [this] { StartFeed(); });
}

InletResult Inlet::OpenStream(double timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  EnsureFeedStarted();
  changed_.wait_until(lock, DeadlineAfter(timeout), [this] { return connected_ || lost_; });
  if (connected_) return InletResult::kOk;
  return lost_ ? InletResult::kLost : InletResult::kTimeout;
}

void Inlet::CloseStream() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!feed_started_) return;
    feed_started_ = false;
    connected_ = false;
    queue_.clear();
    ++feed_generation_;
  }
  asio::post(io_, [this] {
    if (feed_) {
      feed_->Close();
      feed_.reset();
    }
    if (recovery_) recovery_->Cancel();
    recovery_.reset();
    if (watchdog_probe_) watchdog_probe_->Cancel();
    watchdog_probe_.reset();
    retry_timer_.cancel();
  });
}

double Inlet::PullSample(std::vector<std::string> &values, double timeout, InletResult &result) {
  std::unique_lock<std::mutex> lock(mutex_);
  EnsureFeedStarted();
  if (queue_.empty() && !lost_ && timeout > 0.0) {
    changed_.wait_until(lock, DeadlineAfter(timeout), [this] { return !queue_.empty() || lost_; });
  }
  if (!queue_.empty()) {
    Sample &s = queue_.front();
    values = std::move(s.values);
    const double ts = s.timestamp;
    queue_.pop_front();
    result = InletResult::kOk;
    return ts;
  }
  result = lost_ ? InletResult::kLost : InletResult::kTimeout;
  return 0.0;
}

uint32_t Inlet::SamplesAvailable() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<uint32_t>(queue_.size());
}

double Inlet::NewestTimestamp() {
  std::lock_guard<std::mutex> lock(mutex_);
  return newest_timestamp_;
}

void Inlet::Deliver(std::vector<core::StringSample> &samples) {
  if (samples.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    newest_timestamp_ = samples.back().timestamp;
    for (core::StringSample &s : samples) {
      if (queue_.size() >= capacity_) queue_.pop_front();
      queue_.push_back(Sample{s.timestamp, std::move(s.values)});
    }
  }
  samples.clear();
  changed_.notify_all();
}

void Inlet::StartFeed() {
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!feed_started_ || lost_ || feed_) return;
    generation = feed_generation_;
  }
  last_data_ = LocalClock();
  if (!watchdog_running_ && recover_ && !current_.source_id.empty()) {
    watchdog_running_ = true;
    ScheduleWatchdog();
  }
  DataFeed::Hooks hooks;
  hooks.activity = [this] { last_data_ = LocalClock(); };
  hooks.connected = [this, generation] {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (generation == feed_generation_) connected_ = true;
    }
    changed_.notify_all();
  };
  hooks.samples = [this, generation](std::vector<core::StringSample> &samples) {
    {
      // Samples of a stream closed meanwhile are not the caller's any more.
      std::lock_guard<std::mutex> lock(mutex_);
      if (generation != feed_generation_) return;
    }
    Deliver(samples);
  };
  hooks.failed = [this, generation] { FeedFailed(generation); };
  // Held here too: a feed that fails at once is dropped by FeedFailed.
  auto feed = std::make_shared<DataFeed>(io_, current_, max_buffer_length_, max_chunk_length_,
                                         config_.handshake_timeout, std::move(hooks));
  feed_ = feed;
  feed->Start();
}

// A feed reports its failure once, and never after it was closed, so the
// one failing is the current feed.
void Inlet::FeedFailed(uint64_t generation) {
  feed_.reset();
  const bool can_recover = recover_ && !current_.source_id.empty();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != feed_generation_) return;
    connected_ = false;
    if (!can_recover) lost_ = true;
  }
  changed_.notify_all();
  if (!can_recover) return;
  retry_timer_.expires_after(Seconds(kRetryDelay));
  retry_timer_.async_wait([this, generation](const asio::error_code &ec) {
    if (ec) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (generation != feed_generation_ || !feed_started_) return;
    }
    StartRecovery();
  });
}

void Inlet::StartRecovery() {
  recovery_ = std::make_shared<ResolveOperation>(
      io_, config_, core::BuildRecoveryQuery(current_), 1, kRecoveryResolveTimeout, 0.0,
      [this](std::vector<core::StreamInfo> found) { Recovered(std::move(found)); });
  recovery_->Start();
}

void Inlet::Recovered(std::vector<core::StreamInfo> found) {
  recovery_.reset();
  const core::StreamInfo *next = nullptr;
  for (const core::StreamInfo &info : found) {
    if (info.uid == current_.uid) next = &info;
  }
  // Exactly one other stream of the same source: the outlet was restarted.
  if (next == nullptr && found.size() == 1) next = &found.front();
  if (next == nullptr) {
    const uint64_t generation = FeedGenerationSnapshot();
    retry_timer_.expires_after(Seconds(kRetryDelay));
    retry_timer_.async_wait([this, generation](const asio::error_code &ec) {
      if (!ec && generation == FeedGenerationSnapshot()) StartRecovery();
    });
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = *next;
  }
  StartFeed();
}

void Inlet::ScheduleWatchdog() {
  watchdog_timer_.expires_after(Seconds(std::max(0.05, config_.watchdog_check_interval)));
  watchdog_timer_.async_wait([this](const asio::error_code &ec) {
    if (ec) return;
    WatchdogCheck();
    ScheduleWatchdog();
  });
}

void Inlet::WatchdogCheck() {
  if (!feed_ || !feed_->Connected() || recovery_ || watchdog_probe_) return;
  if (LocalClock() - last_data_ < config_.watchdog_time_threshold) return;
  // Two query waves' worth of listening.
  watchdog_probe_ = std::make_shared<ResolveOperation>(
      io_, config_, core::BuildRecoveryQuery(current_), 0, 2 * config_.multicast_min_rtt, 0.0,
      [this](std::vector<core::StreamInfo> found) {
        watchdog_probe_.reset();
        ++watchdog_probes_done_;
        WatchdogResult(found);
      });
  watchdog_probe_->Start();
}

void Inlet::WatchdogResult(const std::vector<core::StreamInfo> &found) {
  if (!feed_ || found.size() != 1 || found.front().uid == current_.uid) return;
  // The stream is silent, does not answer, and a single stream of the same
  // source does: the outlet was replaced without closing our connection.
  feed_->Close();
  feed_.reset();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
    current_ = found.front();
  }
  StartFeed();
}

uint64_t Inlet::FeedGenerationSnapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return feed_generation_;
}

InletResult Inlet::FullInfo(double timeout, core::StreamInfo &out) {
  const auto deadline = DeadlineAfter(timeout);
  for (;;) {
    core::StreamInfo target;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (lost_) return InletResult::kLost;
      target = current_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return InletResult::kTimeout;
    asio::ip::address_v4 address;
    if (EndpointOf(target, target.v4data_port, address)) {
      // The request runs on the inlet's own I/O thread; this thread only waits.
      auto answer = std::make_shared<std::promise<std::optional<core::StreamInfo>>>();
      auto result = answer->get_future();
      auto request = std::make_shared<InfoRequest>(
          io_,
          [answer](std::optional<core::StreamInfo> info) { answer->set_value(std::move(info)); });
      const asio::ip::tcp::endpoint endpoint(address, target.v4data_port);
      asio::post(io_, [request, endpoint, deadline] { request->Start(endpoint, deadline); });
      if (result.wait_until(deadline) != std::future_status::ready) {
        request->Cancel();
        return InletResult::kTimeout;
      }
      std::optional<core::StreamInfo> info = result.get();
      // An outlet still starting up may report created_at 0: ask again.
      if (info && info->created_at != 0.0) {
        if (info->v4address.empty()) info->v4address = target.v4address;
        out = std::move(*info);
        return InletResult::kOk;
      }
    }
    std::this_thread::sleep_until(
        std::min(deadline, std::chrono::steady_clock::now() + Seconds(kRetryDelay)));
  }
}

core::TimeEstimate Inlet::TimeEstimate(double timeout, InletResult &result) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!time_sync_started_) {
    time_sync_started_ = true;
    asio::post(io_, [this] { time_sync_.Start(); });
  }
  changed_.wait_until(lock, DeadlineAfter(timeout),
                      [this] { return estimate_.has_value() || lost_; });
  if (estimate_) {
    result = InletResult::kOk;
    return *estimate_;
  }
  result = lost_ ? InletResult::kLost : InletResult::kTimeout;
  return {};
}

}  // namespace lsl::net
