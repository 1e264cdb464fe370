#include "net/inlet.h"

#include "core/query.h"
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

namespace lsl::net {
namespace {

// An outlet that accepts the connection but never completes the handshake
// must not hold the inlet forever.
constexpr double kHandshakeTimeout = 10.0;
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

struct Inlet::Feed {
  Feed(asio::io_context &io, const core::StreamInfo &target, uint64_t gen)
      : socket(io),
        deadline(io),
        generation(gen),
        parser(target.uid),
        channels(static_cast<uint32_t>(target.channel_count)),
        srate(target.nominal_srate) {}

  asio::ip::tcp::socket socket;
  asio::steady_timer deadline;
  uint64_t generation;
  std::string request;
  core::FeedReplyParser parser;
  uint32_t channels;
  double srate;
  std::optional<core::FeedSampleStream> stream;
  bool connected = false;
  bool closed = false;
  std::array<char, 65536> buffer{};
  std::vector<core::StringSample> decoded;
};

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
      time_socket_(io_),
      time_timer_(io_),
      random_(std::random_device{}()) {
  thread_ = std::thread([this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (...) {
        // A handler ran out of memory; the inlet carries on with the next one.
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
      feed_->closed = true;
      asio::error_code ec;
      feed_->socket.close(ec);
      feed_->deadline.cancel();
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

void Inlet::Deliver(std::vector<core::StringSample> &samples) {
  if (samples.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
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
  auto feed = std::make_shared<Feed>(io_, current_, generation);
  feed_ = feed;
  last_data_ = LocalClock();
  if (!watchdog_running_ && recover_ && !current_.source_id.empty()) {
    watchdog_running_ = true;
    ScheduleWatchdog();
  }
  asio::ip::address_v4 address;
  if (!EndpointOf(current_, current_.v4data_port, address)) {
    FeedFailed(feed);
    return;
  }
  core::FeedRequest request;
  request.uid = current_.uid;
  request.hostname = current_.hostname;
  request.source_id = current_.source_id;
  request.session_id = current_.session_id;
  request.max_buffer_length = max_buffer_length_;
  request.max_chunk_length = max_chunk_length_;
  feed->request = core::FormatFeedRequest(request);

  feed->deadline.expires_after(Seconds(kHandshakeTimeout));
  feed->deadline.async_wait([this, feed](const asio::error_code &ec) {
    if (!ec && !feed->connected) FeedFailed(feed);
  });
  feed->socket.async_connect(
      {address, current_.v4data_port}, [this, feed](const asio::error_code &ec) {
        if (feed->closed) return;
        if (ec) {
          FeedFailed(feed);
          return;
        }
        asio::error_code ignored;
        feed->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        asio::async_write(feed->socket, asio::buffer(feed->request),
                          [this, feed](const asio::error_code &wec, std::size_t) {
                            if (feed->closed) return;
                            if (wec) FeedFailed(feed);
                          });
        ReadFeed(feed);
      });
}

void Inlet::ReadFeed(std::shared_ptr<Feed> feed) {
  feed->socket.async_read_some(
      asio::buffer(feed->buffer), [this, feed](const asio::error_code &ec, std::size_t n) {
        if (feed->closed) return;
        if (n > 0) last_data_ = LocalClock();
        std::string_view bytes(feed->buffer.data(), n);
        if (!feed->stream && n > 0) {
          const core::FeedReplyStatus status = feed->parser.Feed(bytes);
          if (status == core::FeedReplyStatus::kOk) {
            feed->stream.emplace(feed->channels, feed->srate, feed->parser.Header().big_endian);
            bytes = feed->parser.Remainder();
          } else if (status != core::FeedReplyStatus::kNeedMore) {
            FeedFailed(feed);
            return;
          } else {
            bytes = {};
          }
        }
        if (feed->stream && !bytes.empty()) {
          const bool good = feed->stream->Feed(bytes, feed->decoded);
          if (!feed->connected && feed->stream->TestPatternsVerified()) {
            feed->connected = true;
            feed->deadline.cancel();
            {
              std::lock_guard<std::mutex> lock(mutex_);
              if (feed->generation == feed_generation_) connected_ = true;
            }
            changed_.notify_all();
          }
          {
            std::lock_guard<std::mutex> lock(mutex_);
            if (feed->generation != feed_generation_) feed->decoded.clear();
          }
          Deliver(feed->decoded);
          if (!good) {
            FeedFailed(feed);
            return;
          }
        }
        if (ec) {
          FeedFailed(feed);
          return;
        }
        ReadFeed(feed);
      });
}

void Inlet::FeedFailed(const std::shared_ptr<Feed> &feed) {
  if (feed->closed) return;
  feed->closed = true;
  asio::error_code ignored;
  feed->socket.close(ignored);
  feed->deadline.cancel();
  if (feed_ != feed) return;
  feed_.reset();
  const bool can_recover = recover_ && !current_.source_id.empty();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (feed->generation != feed_generation_) return;
    connected_ = false;
    if (!can_recover) lost_ = true;
  }
  changed_.notify_all();
  if (!can_recover) return;
  const uint64_t generation = feed->generation;
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
  if (!feed_ || !feed_->connected || recovery_ || watchdog_probe_) return;
  if (LocalClock() - last_data_ < config_.watchdog_time_threshold) return;
  // Two query waves' worth of listening.
  watchdog_probe_ = std::make_shared<ResolveOperation>(
      io_, config_, core::BuildRecoveryQuery(current_), 0, 2 * config_.multicast_min_rtt, 0.0,
      [this](std::vector<core::StreamInfo> found) {
        watchdog_probe_.reset();
        WatchdogResult(found);
      });
  watchdog_probe_->Start();
}

void Inlet::WatchdogResult(const std::vector<core::StreamInfo> &found) {
  if (!feed_ || found.size() != 1 || found.front().uid == current_.uid) return;
  // The stream is silent, does not answer, and a single stream of the same
  // source does: the outlet was replaced without closing our connection.
  feed_->closed = true;
  asio::error_code ignored;
  feed_->socket.close(ignored);
  feed_->deadline.cancel();
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
    asio::ip::address_v4 address;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return InletResult::kTimeout;
    if (EndpointOf(target, target.v4data_port, address)) {
      asio::io_context io;
      asio::ip::tcp::socket socket(io);
      std::string reply;
      std::array<char, 8192> chunk{};
      bool complete = false;
      static const std::string kRequest = core::FormatFullinfoRequest();
      std::function<void()> read_more = [&] {
        socket.async_read_some(asio::buffer(chunk), [&](const asio::error_code &ec, std::size_t n) {
          reply.append(chunk.data(), n);
          if (reply.size() > core::kMaxInfoXmlBytes) return;
          if (ec) {
            complete = ec == asio::error::eof;
            return;
          }
          read_more();
        });
      };
      socket.async_connect({address, target.v4data_port}, [&](const asio::error_code &ec) {
        if (ec) return;
        asio::async_write(socket, asio::buffer(kRequest),
                          [&](const asio::error_code &wec, std::size_t) {
                            if (!wec) read_more();
                          });
      });
      io.run_until(deadline);
      if (complete) {
        std::optional<core::StreamInfo> info = core::ParseXml(reply);
        // An outlet still starting up may report created_at 0: ask again.
        if (info && info->created_at != 0.0) {
          if (info->v4address.empty()) info->v4address = target.v4address;
          out = std::move(*info);
          return InletResult::kOk;
        }
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
    asio::post(io_, [this] { StartTimeSync(); });
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

void Inlet::StartTimeSync() {
  asio::error_code ec;
  time_socket_.open(asio::ip::udp::v4(), ec);
  if (ec) return;
  KeepFromChildProcesses(time_socket_.native_handle());
  time_socket_.bind({asio::ip::address_v4::any(), 0}, ec);
  if (ec) return;
  TimeReceive();
  TimeRound();
}

void Inlet::TimeRound() {
  core::TimeSyncSettings settings;
  settings.probe_count = config_.time_probe_count;
  settings.probe_interval = config_.time_probe_interval;
  settings.probe_max_rtt = config_.time_probe_max_rtt;
  settings.min_probes = config_.time_update_min_probes;
  settings.update_interval = config_.time_update_interval;
  const auto wave = static_cast<int32_t>(random_() & 0x7fffffff);
  round_start_ = LocalClock();
  round_.emplace(wave, round_start_, settings);
  TimeTick(++round_id_);
}

void Inlet::TimeTick(uint64_t round_id) {
  if (!round_ || round_id != round_id_) return;
  const double now = LocalClock();
  asio::ip::address_v4 address;
  core::StreamInfo target;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    target = current_;
  }
  const bool reachable = EndpointOf(target, target.v4service_port, address);
  while (round_->NextProbeTime() && *round_->NextProbeTime() <= now) {
    const std::string probe = round_->TakeProbe(now);
    asio::error_code ec;
    if (reachable)
      time_socket_.send_to(asio::buffer(probe), {address, target.v4service_port}, 0, ec);
  }
  double wake = round_->EvaluateAt();
  if (round_->NextProbeTime()) wake = std::min(wake, *round_->NextProbeTime());
  if (now >= round_->EvaluateAt()) {
    if (const auto estimate = round_->Evaluate()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        estimate_ = *estimate;
      }
      changed_.notify_all();
    }
    time_timer_.expires_after(Seconds(round_start_ + config_.time_update_interval - now));
    time_timer_.async_wait([this](const asio::error_code &ec) {
      if (!ec) TimeRound();
    });
    return;
  }
  time_timer_.expires_after(Seconds(wake - now));
  time_timer_.async_wait([this, round_id](const asio::error_code &ec) {
    if (!ec) TimeTick(round_id);
  });
}

void Inlet::TimeReceive() {
  time_socket_.async_receive_from(
      asio::buffer(time_buffer_), time_sender_, [this](const asio::error_code &ec, std::size_t n) {
        // An unreachable outlet shows up as refused datagrams; anything else ends the socket.
        if (ec && ec != asio::error::connection_refused && ec != asio::error::connection_reset &&
            ec != asio::error::message_size)
          return;
        if (!ec && round_) round_->OnReply(std::string_view(time_buffer_.data(), n), LocalClock());
        TimeReceive();
      });
}

}  // namespace lsl::net
