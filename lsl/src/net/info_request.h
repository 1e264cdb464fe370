// One LSL:fullinfo request on a connection of its own, run on an inlet's
// I/O thread: connect, ask, read the declaration until the outlet closes.
#pragma once

#include "core/stream_info.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace maroquint::lsl::net {

class InfoRequest : public std::enable_shared_from_this<InfoRequest> {
 public:
  // Called once: the declaration, or nullopt when the request failed, timed
  // out or was cancelled.
  using Done = std::function<void(std::optional<core::StreamInfo>)>;

  InfoRequest(asio::io_context &io, Done done);

  // I/O thread only.
  void Start(const asio::ip::tcp::endpoint &outlet, std::chrono::steady_clock::time_point deadline);
  // From any thread.
  void Cancel();

 private:
  void ReadMore();
  void Finish(std::optional<core::StreamInfo> info);

  asio::io_context &io_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer deadline_;
  Done done_;
  std::string request_;
  std::string reply_;
  std::array<char, 8192> chunk_{};
  bool finished_ = false;
};

}  // namespace maroquint::lsl::net
