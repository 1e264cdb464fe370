// A consumer of one string stream. Its parts, each with its own sockets and
// timers: the data connection (DataFeed), time synchronisation
// (TimeSyncClient), the way back to the stream after its connection broke or
// its outlet was replaced (StreamRecovery) and full-info requests
// (InfoRequest); the inlet itself keeps the bounded queue of received
// samples. All socket work runs on the inlet's own I/O thread; the public
// calls only wait on the queue and on results.
#pragma once

#include "base/result.h"
#include "core/config.h"
#include "core/protocol/request.h"
#include "core/protocol/sample.h"
#include "core/protocol/streamfeed.h"
#include "core/stream_info.h"
#include "core/time_sync.h"
#include "net/data_feed.h"
#include "net/stream_recovery.h"
#include "net/time_sync_client.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace maroquint::lsl::net {

// Most channels a string inlet accepts: a declaration is network input.
constexpr int32_t kMaxInletChannels = 65536;

enum class InletResult { kOk, kTimeout, kLost };

enum class InletError {
  // no I/O context or thread could be had (out of descriptors or threads)
  kOutOfResources,
};

class Inlet {
 public:
  // `info` must declare a string stream with 1..kMaxInletChannels channels.
  static maroquint::base::Result<std::unique_ptr<Inlet>, InletError> Create(
      const core::Config &config, core::StreamInfo info, int32_t max_buflen, int32_t max_chunklen,
      bool recover);
  ~Inlet();
  Inlet(const Inlet &) = delete;
  Inlet &operator=(const Inlet &) = delete;

  static bool Accepts(const core::StreamInfo &info);

  const core::StreamInfo &DeclaredInfo() const { return declared_; }
  InletResult OpenStream(double timeout);
  void CloseStream();
  // The outlet's full declaration, over a connection of its own.
  InletResult FullInfo(double timeout, core::StreamInfo &out);
  // Fills `values` with the next sample's strings; the sample's time stamp
  // on the sender's clock, or 0.0 with timeout / lost.
  double PullSample(std::vector<std::string> &values, double timeout, InletResult &result);
  uint32_t SamplesAvailable();
  // The time stamp of the latest sample to arrive (0.0 before the first),
  // whether or not it has since been dropped for room.
  double NewestTimestamp();
  // The latest estimate of the outlet's clock against ours; the first call
  // starts synchronisation and waits for the first round's result.
  core::TimeEstimate TimeEstimate(double timeout, InletResult &result);

 private:
  Inlet(const core::Config &config, core::StreamInfo info, int32_t max_buflen, int32_t max_chunklen,
        bool recover);

  struct Sample {
    double timestamp;
    std::vector<std::string> values;
  };
  // I/O thread only.
  void StartFeed();
  void FeedFailed(uint64_t generation);
  bool CanRecover() const;
  void SwitchTo(core::StreamInfo stream);

  // Caller holds mutex_.
  void EnsureFeedStarted();
  void Deliver(std::vector<core::StringSample> &samples);

  const core::Config &config_;
  const core::StreamInfo declared_;
  const std::size_t capacity_;
  const int32_t max_buffer_length_;
  const int32_t max_chunk_length_;
  const bool recover_;

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;

  // The stream as currently located (changes on recovery): written on the
  // I/O thread under mutex_, read elsewhere under mutex_.
  core::StreamInfo current_;
  std::shared_ptr<DataFeed> feed_;
  StreamRecovery recovery_;
  TimeSyncClient time_sync_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Sample> queue_;
  double newest_timestamp_ = 0.0;
  bool feed_started_ = false;
  bool connected_ = false;
  bool lost_ = false;
  bool time_sync_started_ = false;
  std::optional<core::TimeEstimate> estimate_;
  uint64_t feed_generation_ = 0;
};

}  // namespace maroquint::lsl::net
