#include "net/inlet.h"

#include "net/data_feed.h"
#include "net/info_request.h"
#include "net/log.h"
#include "net/timer.h"

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <chrono>
#include <future>
#include <system_error>

namespace maroquint::lsl::net {
namespace {

// Pause before asking again for the full info.
constexpr double kRetryDelay = 0.5;

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

maroquint::base::Result<std::unique_ptr<Inlet>, InletError> Inlet::Create(
    const core::Config &config, core::StreamInfo info, int32_t max_buflen, int32_t max_chunklen,
    bool recover) {
  // An I/O context and a thread are what the system may refuse.
  try {
    return std::unique_ptr<Inlet>(
        new Inlet(config, std::move(info), max_buflen, max_chunklen, recover));
  } catch (const std::system_error &e) {
    return maroquint::base::Fail(InletError::kOutOfResources, e.what());
  }
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
      recovery_(
          io_, config_,
          StreamRecovery::Hooks{[this] { return feed_ && feed_->Connected(); },
                                [this](core::StreamInfo stream) { SwitchTo(std::move(stream)); }}),
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
    recovery_.Stop();
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
  if (CanRecover()) recovery_.Follow(current_);
  DataFeed::Hooks hooks;
  hooks.activity = [this] { recovery_.Activity(); };
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
  const bool can_recover = CanRecover();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (generation != feed_generation_) return;
    connected_ = false;
    if (!can_recover) lost_ = true;
  }
  changed_.notify_all();
  if (can_recover) recovery_.Recover();
}

bool Inlet::CanRecover() const {
  return recover_ && !current_.source_id.empty();
}

void Inlet::SwitchTo(core::StreamInfo stream) {
  if (feed_) {
    feed_->Close();
    feed_.reset();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = false;
    current_ = std::move(stream);
  }
  StartFeed();
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

}  // namespace maroquint::lsl::net
