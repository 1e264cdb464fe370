// An inlet's data connection to one outlet: connects, sends the streamfeed
// request, reads the handshake (within a deadline) and decodes the samples
// that follow, on a socket and timer of its own.
#pragma once

#include "core/protocol/sample.h"
#include "core/protocol/streamfeed.h"
#include "core/stream_info.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace maroquint::lsl::net {

class DataFeed : public std::enable_shared_from_this<DataFeed> {
 public:
  struct Hooks {
    // Bytes arrived (the stream is alive, samples or not).
    std::function<void()> activity;
    // The handshake and both test patterns are through.
    std::function<void()> connected;
    // Decoded samples, to be taken out of the vector.
    std::function<void(std::vector<core::StringSample> &)> samples;
    // The connection failed or broke; called once, never after Close().
    std::function<void()> failed;
  };

  DataFeed(asio::io_context &io, const core::StreamInfo &target, int32_t max_buffer_length,
           int32_t max_chunk_length, double handshake_timeout, Hooks hooks);

  // I/O thread only.
  void Start();
  void Close();
  bool Connected() const { return connected_; }

 private:
  void Read();
  void Fail();

  asio::ip::tcp::socket socket_;
  asio::steady_timer deadline_;
  const core::StreamInfo target_;
  const double handshake_timeout_;
  Hooks hooks_;
  std::string request_;
  core::FeedReplyParser parser_;
  std::optional<core::FeedSampleStream> stream_;
  bool connected_ = false;
  bool closed_ = false;
  std::array<char, 65536> buffer_{};
  std::vector<core::StringSample> decoded_;
};

}  // namespace maroquint::lsl::net
