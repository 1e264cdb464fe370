#include "net/resolver.h"

#include <optional>
#include <system_error>

#include "core/protocol/discovery.h"
#include "net/platform.h"
#include "net/timer.h"

#include <asio/ip/multicast.hpp>
#include <asio/post.hpp>
#include <asio/socket_base.hpp>

namespace maroquint::lsl::net {
namespace {

bool Transient(const asio::error_code &ec) {
  return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
         ec == asio::error::message_size || ec == asio::error::host_unreachable ||
         ec == asio::error::network_unreachable;
}

}  // namespace

ResolveOperation::ResolveOperation(asio::io_context &io, const core::Config &config,
                                   std::string query, int minimum, double timeout,
                                   double minimum_time, Callback done)
    : io_(io),
      config_(config),
      session_(std::move(query), minimum, LocalClock(), timeout, core::ResolveSettingsFor(config),
               minimum_time),
      done_(std::move(done)),
      socket_(io),
      timer_(io),
      names_(io) {}

void ResolveOperation::Start() {
  OpenSocket();
  if (!socket_.is_open()) {
    // No socket means no replies; the caller still gets its answer at once.
    asio::post(io_, [self = shared_from_this()] { self->Finish(); });
    return;
  }
  const core::ScopeAddresses scope = core::ScopeAddressesFor(config_);
  asio::error_code ec;
  for (const std::string &text : scope.ipv4) {
    const asio::ip::address_v4 a = asio::ip::make_address_v4(text, ec);
    if (ec) continue;
    (a.is_multicast() ? multicast_targets_ : unicast_targets_)
        .emplace_back(a, config_.multicast_port);
    // Several outlets share the discovery port, and a unicast datagram
    // reaches only one of them. Each outlet also answers on its own
    // service port, so on this machine asking every port of the range
    // finds them all.
    if (a.is_loopback()) {
      const int last = config_.base_port + config_.port_range;
      for (int port = config_.base_port; port < last && port <= 65535; ++port)
        unicast_targets_.emplace_back(a, static_cast<uint16_t>(port));
    }
  }
  for (const std::string &text : config_.interfaces) {
    const asio::ip::address_v4 a = asio::ip::make_address_v4(text, ec);
    if (!ec) interfaces_.push_back(a);
  }
  for (const std::string &peer : config_.known_peers) {
    names_.async_resolve(
        asio::ip::udp::v4(), peer, "0",
        [self = shared_from_this()](const asio::error_code &resolve_ec,
                                    const asio::ip::udp::resolver::results_type &found) {
          if (resolve_ec || self->finished_) return;
          for (const auto &entry : found)
            if (entry.endpoint().address().is_v4())
              self->peers_.push_back(entry.endpoint().address().to_v4());
        });
  }
  socket_.set_option(asio::socket_base::broadcast(true), ec);
  socket_.set_option(asio::ip::multicast::hops(scope.ttl), ec);
  socket_.set_option(asio::ip::multicast::enable_loopback(true), ec);
  Receive();
  Schedule();
}

void ResolveOperation::Cancel() {
  asio::post(io_, [self = shared_from_this()] {
    self->finished_ = true;
    self->timer_.cancel();
    self->names_.cancel();
    asio::error_code ec;
    self->socket_.close(ec);
  });
}

void ResolveOperation::OpenSocket() {
  asio::error_code ec;
  socket_.open(asio::ip::udp::v4(), ec);
  if (ec) return;
  KeepFromChildProcesses(socket_.native_handle());
  const int last = config_.base_port + config_.port_range;
  for (int port = config_.base_port; port < last && port <= 65535; ++port) {
    socket_.bind({asio::ip::address_v4::any(), static_cast<uint16_t>(port)}, ec);
    if (!ec) break;
  }
  if (ec && config_.allow_random_ports) socket_.bind({asio::ip::address_v4::any(), 0}, ec);
  if (ec) socket_.close(ec);
  if (socket_.is_open()) {
    datagram_ = core::FormatShortinfoQuery(
        {session_.Query(), socket_.local_endpoint(ec).port(), session_.QueryId()});
  }
}

void ResolveOperation::SendTo(const asio::ip::udp::endpoint &target) {
  asio::error_code ec;
  socket_.send_to(asio::buffer(datagram_), target, 0, ec);
}

void ResolveOperation::SendWave(core::WaveKind kind) {
  if (kind == core::WaveKind::kUnicast) {
    const int last = config_.base_port + config_.port_range;
    for (const auto &peer : peers_) {
      for (int port = config_.base_port; port < last && port <= 65535; ++port)
        SendTo({peer, static_cast<uint16_t>(port)});
    }
    return;
  }
  for (const auto &target : unicast_targets_) SendTo(target);
  if (multicast_targets_.empty()) return;
  asio::error_code ec;
  if (!interfaces_.empty()) {
    for (const auto &iface : interfaces_) {
      socket_.set_option(asio::ip::multicast::outbound_interface(iface), ec);
      if (ec) continue;
      for (const auto &target : multicast_targets_) SendTo(target);
    }
    return;
  }
  for (const auto &target : multicast_targets_) {
    socket_.send_to(asio::buffer(datagram_), target, 0, ec);
    if (ec) {
      // No route for multicast (a host whose only network is loopback):
      // loopback is then the one place a stream can be.
      asio::error_code ignored;
      socket_.set_option(asio::ip::multicast::outbound_interface(asio::ip::address_v4::loopback()),
                         ignored);
      socket_.send_to(asio::buffer(datagram_), target, 0, ignored);
    }
  }
}

void ResolveOperation::Schedule() {
  if (finished_) return;
  const double now = LocalClock();
  while (const auto wave = session_.TakeDueWave(now)) SendWave(*wave);
  if (session_.Done(now)) {
    Finish();
    return;
  }
  timer_.expires_after(Seconds(session_.NextWakeup() - now));
  timer_.async_wait([self = shared_from_this()](const asio::error_code &ec) {
    if (!ec) self->Schedule();
  });
}

void ResolveOperation::Receive() {
  socket_.async_receive_from(
      asio::buffer(buffer_), sender_,
      [self = shared_from_this()](const asio::error_code &ec, std::size_t n) {
        if (self->finished_) return;
        if (ec) {
          if (Transient(ec)) self->Receive();
          return;
        }
        self->session_.OnReply(std::string_view(self->buffer_.data(), n),
                               self->sender_.address().to_string(),
                               self->sender_.address().is_v6());
        if (self->session_.Done(LocalClock())) {
          self->Finish();
          return;
        }
        self->Receive();
      });
}

void ResolveOperation::Finish() {
  if (finished_) return;
  finished_ = true;
  timer_.cancel();
  names_.cancel();
  asio::error_code ec;
  socket_.close(ec);
  if (done_) done_(session_.Results());
}

maroquint::base::Result<std::vector<core::StreamInfo>, ResolveError> Resolve(
    const core::Config &config, const std::string &query, int minimum, double timeout) {
  std::optional<asio::io_context> context;
  try {
    context.emplace();
  } catch (const std::system_error &e) {
    return maroquint::base::Fail(ResolveError::kOutOfResources, e.what());
  }
  asio::io_context &io = *context;
  std::vector<core::StreamInfo> results;
  auto op = std::make_shared<ResolveOperation>(
      io, config, query, minimum, timeout, 0.0,
      [&results](std::vector<core::StreamInfo> found) { results = std::move(found); });
  op->Start();
  io.run();
  return results;
}

}  // namespace maroquint::lsl::net
