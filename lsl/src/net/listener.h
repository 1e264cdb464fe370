// The outlet's data port of one address family: accepts connections and
// hands them on. An accept that fails (out of descriptors, typically) asks
// the owner to make room and tries again after a pause, instead of spinning.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <functional>

namespace maroquint::lsl::net {

class Listener {
 public:
  using OnAccept = std::function<void(asio::ip::tcp::socket)>;
  using OnAcceptFailed = std::function<void()>;

  // Takes an open, listening acceptor.
  Listener(asio::ip::tcp::acceptor acceptor, OnAccept on_accept, OnAcceptFailed on_failed);

  void Start() { Accept(); }
  void Close();
  asio::ip::tcp::acceptor &Acceptor() { return acceptor_; }

 private:
  void Accept();

  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer backoff_;
  OnAccept on_accept_;
  OnAcceptFailed on_failed_;
};

}  // namespace maroquint::lsl::net
