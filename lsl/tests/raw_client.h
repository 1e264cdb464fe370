// A consumer written with bare sockets, for driving a live outlet the way
// any program on the network could, well-behaved or not.
#pragma once

#include "core/protocol/sample.h"
#include "net/outlet.h"

#include <asio.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace maroquint::lsl::test {

using asio::ip::tcp;
using asio::ip::udp;

struct Marker {
  double timestamp;
  std::string text;
};

// A live outlet; a test cannot go on without one.
inline std::unique_ptr<net::Outlet> OpenOutlet(const core::StreamInfo &info, int32_t max_buffered,
                                               const core::Config &config) {
  auto outlet = net::Outlet::Create(info, max_buffered, config);
  if (!outlet) throw std::runtime_error(outlet.Message());
  return std::move(*outlet);
}

class RawClient {
 public:
  explicit RawClient(uint16_t port, int receive_buffer = 0,
                     const asio::ip::address &host = asio::ip::address_v4::loopback())
      : socket_(io_) {
    socket_.open(host.is_v6() ? tcp::v6() : tcp::v4());
    if (receive_buffer > 0)
      socket_.set_option(asio::socket_base::receive_buffer_size(receive_buffer));
    socket_.connect(tcp::endpoint(host, port));
  }

  void Send(const std::string &bytes) { asio::write(socket_, asio::buffer(bytes)); }

  // Up to `n` bytes, less if the peer closes or `timeout` passes.
  std::string Read(std::size_t n, double timeout = 5.0) {
    std::string out(n, '\0');
    std::size_t got = 0;
    bool done = false;
    asio::async_read(
        socket_, asio::buffer(&out[0], n), [&](const asio::error_code &ec, std::size_t bytes) {
          got = bytes;
          done = true;
          closed_ = closed_ || ec == asio::error::eof || ec == asio::error::connection_reset;
        });
    Run(timeout, done);
    out.resize(got);
    return out;
  }

  // Everything until the peer closes (or `timeout` passes).
  std::string ReadToEnd(double timeout = 5.0) {
    std::string all;
    while (!closed_) {
      auto start = std::chrono::steady_clock::now();
      auto part = ReadSome(timeout);
      all += part;
      timeout -= std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (timeout <= 0) break;
    }
    return all;
  }

  // Whatever arrives within `timeout`.
  std::string ReadSome(double timeout) {
    std::string out(65536, '\0');
    std::size_t got = 0;
    bool done = false;
    socket_.async_read_some(asio::buffer(&out[0], out.size()),
                            [&](const asio::error_code &ec, std::size_t bytes) {
                              got = bytes;
                              done = true;
                              closed_ = closed_ || (ec && ec != asio::error::operation_aborted);
                            });
    Run(timeout, done);
    out.resize(got);
    return out;
  }

  bool Closed() const { return closed_; }

  // Decodes complete 1-channel string samples from the bytes read so far,
  // reading more as needed, until `count` markers or the timeout.
  std::vector<Marker> Markers(std::size_t count, double timeout = 10.0) {
    std::vector<Marker> out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (out.size() < count) {
      if (auto m = DecodeOne()) {
        out.push_back(*m);
        continue;
      }
      auto left =
          std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || closed_) break;
      pending_ += ReadSome(std::min(left, 0.5));
    }
    return out;
  }

  std::string &Pending() { return pending_; }
  tcp::socket &Socket() { return socket_; }

 private:
  void Run(double timeout, const bool &done) {
    io_.restart();
    io_.run_for(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(timeout)));
    if (!done) {
      asio::error_code ignored;
      socket_.cancel(ignored);
      io_.restart();
      io_.run();
    }
  }

  std::optional<Marker> DecodeOne() {
    const auto *p = reinterpret_cast<const unsigned char *>(pending_.data());
    const auto size = pending_.size();
    if (size < 11 || p[0] != core::kTagTimestamp) return std::nullopt;
    const std::size_t width = p[9];
    if (width != 1 && width != 4 && width != 8) throw std::runtime_error("bad length width");
    if (size < 10 + width) return std::nullopt;
    uint64_t len = 0;
    for (std::size_t i = 0; i < width; ++i) len |= static_cast<uint64_t>(p[10 + i]) << (8 * i);
    if (size < 10 + width + len) return std::nullopt;
    Marker m{core::ReadLeDouble(p + 1), pending_.substr(10 + width, len)};
    pending_.erase(0, 10 + width + len);
    return m;
  }

  asio::io_context io_;
  tcp::socket socket_;
  bool closed_ = false;
  std::string pending_;
};

// One datagram out, the replies that come back to our port within `timeout`.
inline std::vector<std::string> UdpExchange(
    uint16_t port, const std::string &request_with_port_placeholder, double timeout = 1.0,
    std::size_t max_replies = 1, const asio::ip::address &host = asio::ip::address_v4::loopback()) {
  asio::io_context io;
  udp::socket socket(io, udp::endpoint(host, 0));
  std::string request = request_with_port_placeholder;
  auto at = request.find("{port}");
  if (at != std::string::npos)
    request.replace(at, 6, std::to_string(socket.local_endpoint().port()));
  socket.send_to(asio::buffer(request), udp::endpoint(host, port));
  std::vector<std::string> replies;
  std::array<char, 65536> buffer{};
  udp::endpoint from;
  std::function<void()> receive = [&] {
    socket.async_receive_from(asio::buffer(buffer), from,
                              [&](const asio::error_code &ec, std::size_t n) {
                                if (ec) return;
                                replies.emplace_back(buffer.data(), n);
                                if (replies.size() < max_replies)
                                  receive();
                                else
                                  io.stop();
                              });
  };
  receive();
  io.run_for(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(timeout)));
  return replies;
}

}  // namespace maroquint::lsl::test
