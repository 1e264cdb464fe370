// An inlet's clock synchronisation: rounds of timedata probes to the
// outlet's service port from a UDP socket and a timer of its own, each
// round's estimate handed to the inlet.
#pragma once

#include "core/config.h"
#include "core/stream_info.h"
#include "core/time_sync.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>

namespace maroquint::lsl::net {

class TimeSyncClient {
 public:
  // Where the stream is now (it moves on recovery).
  using Target = std::function<core::StreamInfo()>;
  using OnEstimate = std::function<void(const core::TimeEstimate &)>;

  TimeSyncClient(asio::io_context &io, const core::Config &config, Target target,
                 OnEstimate on_estimate);

  // I/O thread only.
  void Start();

 private:
  void Round();
  void Tick(uint64_t round_id);
  void Receive();

  const core::Config &config_;
  Target target_;
  OnEstimate on_estimate_;
  asio::ip::udp::socket socket_;
  asio::steady_timer timer_;
  std::optional<core::TimeSyncRound> round_;
  uint64_t round_id_ = 0;
  std::array<char, 512> buffer_{};
  asio::ip::udp::endpoint sender_;
  std::mt19937 random_;
};

}  // namespace maroquint::lsl::net
