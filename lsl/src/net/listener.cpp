#include "net/listener.h"

#include <chrono>

namespace maroquint::lsl::net {

namespace {
constexpr std::chrono::milliseconds kAcceptBackoff{50};
}

Listener::Listener(asio::ip::tcp::acceptor acceptor, OnAccept on_accept, OnAcceptFailed on_failed)
    : acceptor_(std::move(acceptor)),
      backoff_(acceptor_.get_executor()),
      on_accept_(std::move(on_accept)),
      on_failed_(std::move(on_failed)) {}

void Listener::Close() {
  asio::error_code ignored;
  backoff_.cancel();
  acceptor_.close(ignored);
}

void Listener::Accept() {
  acceptor_.async_accept([this](const asio::error_code &ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (!ec) {
      on_accept_(std::move(socket));
      return Accept();
    }
    on_failed_();
    backoff_.expires_after(kAcceptBackoff);
    backoff_.async_wait([this](const asio::error_code &wait_ec) {
      if (!wait_ec && acceptor_.is_open()) Accept();
    });
  });
}

}  // namespace maroquint::lsl::net
