#include "net/outlet_sockets.h"

#include "net/log.h"
#include "net/platform.h"

#include <asio/ip/multicast.hpp>
#include <asio/ip/v6_only.hpp>

#include <string>

namespace maroquint::lsl::net {
namespace {

using asio::ip::tcp;
using asio::ip::udp;
using maroquint::base::Fail;

// ListenAddress names the address of one family; the other binds to its
// wildcard address.
struct BindAddresses {
  asio::ip::address v4 = asio::ip::address_v4::any();
  asio::ip::address v6 = asio::ip::address_v6::any();
};

maroquint::base::Result<BindAddresses, OutletError> BindAddressesFor(const core::Config &config) {
  BindAddresses out;
  if (config.listen_address.empty()) return out;
  asio::error_code ec;
  auto address = asio::ip::make_address(config.listen_address, ec);
  if (ec)
    return Fail(OutletError::kBadListenAddress,
                "ListenAddress is not an IP address: " + config.listen_address);
  (address.is_v4() ? out.v4 : out.v6) = address;
  return out;
}

// First free port of BasePort..BasePort+PortRange-1, else one the system
// picks when random ports are allowed.
template <typename Socket, typename Endpoint>
void BindInRange(Socket &socket, const asio::ip::address &address, const core::Config &config,
                 asio::error_code &ec) {
  for (int i = 0; i < config.port_range; ++i) {
    const int port = config.base_port + i;
    if (port > 65535) break;
    socket.bind(Endpoint(address, static_cast<uint16_t>(port)), ec);
    if (!ec) return;
  }
  if (!config.allow_random_ports) {
    ec = asio::error::address_in_use;
    return;
  }
  socket.bind(Endpoint(address, 0), ec);
}

class Builder {
 public:
  Builder(asio::io_context &io, const core::Config &config) : io_(io), config_(config) {}

  std::optional<udp::socket> Service(const asio::ip::address &address, asio::error_code &ec) {
    udp::socket socket(io_);
    socket.open(address.is_v6() ? udp::v6() : udp::v4(), ec);
    if (ec) return std::nullopt;
    KeepFromChildProcesses(socket.native_handle());
    BindInRange<udp::socket, udp::endpoint>(socket, address, config_, ec);
    if (ec) return std::nullopt;
    socket.non_blocking(true, ec);
    if (ec) return std::nullopt;
    return socket;
  }

  std::optional<tcp::acceptor> Data(const asio::ip::address &address, asio::error_code &ec) {
    tcp::acceptor acceptor(io_);
    acceptor.open(address.is_v6() ? tcp::v6() : tcp::v4(), ec);
    if (ec) return std::nullopt;
    KeepFromChildProcesses(acceptor.native_handle());
#ifndef _WIN32
    // Lets a restarted outlet take its port back at once; on Windows the
    // same option would let two listeners share a port.
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    BindInRange<tcp::acceptor, tcp::endpoint>(acceptor, address, config_, ec);
    if (ec) return std::nullopt;
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return std::nullopt;
    return acceptor;
  }

  // One socket per address of the scope, as liblsl has, so that both
  // implementations answer alike next to each other on one host. A target
  // that is no address of the family is skipped.
  std::optional<udp::socket> Discovery(const asio::ip::address &bind_to, const std::string &target,
                                       int ttl) {
    asio::error_code ec;
    const auto group = asio::ip::make_address(target, ec);
    if (ec || group.is_v6() != bind_to.is_v6()) return std::nullopt;
    const udp protocol = group.is_v6() ? udp::v6() : udp::v4();
    udp::socket socket(io_);
    socket.open(protocol, ec);
    if (!ec) {
      KeepFromChildProcesses(socket.native_handle());
      socket.set_option(udp::socket::reuse_address(true), ec);
      // IPv4 queries belong to the IPv4 sockets.
      if (group.is_v6()) socket.set_option(asio::ip::v6_only(true), ec);
      socket.bind(udp::endpoint(bind_to, config_.multicast_port), ec);
    }
    if (ec) {
      // Without it the stream cannot be found by queries sent to `target`.
      LogWarning(std::string("could not bind the ") + (group.is_v6() ? "IPv6" : "IPv4") +
                 " discovery port " + std::to_string(config_.multicast_port) + " for " + target +
                 ": " + ec.message());
      return std::nullopt;
    }
    socket.non_blocking(true, ec);
    socket.set_option(asio::ip::multicast::hops(ttl), ec);
    if (group.is_multicast() && !Join(socket, group)) return std::nullopt;
    return socket;
  }

 private:
  bool Join(udp::socket &socket, const asio::ip::address &group) {
    asio::error_code ec;
    if (group.is_v6()) {
      socket.set_option(asio::ip::multicast::join_group(group), ec);
      return !ec;
    }
    bool joined = false;
    std::vector<std::string> interfaces = config_.interfaces;
    if (interfaces.empty()) interfaces = {"0.0.0.0", "127.0.0.1"};
    for (const auto &name : interfaces) {
      const auto iface = asio::ip::make_address_v4(name, ec);
      if (ec) continue;
      socket.set_option(asio::ip::multicast::join_group(group.to_v4(), iface), ec);
      if (!ec) joined = true;
      if (joined && config_.interfaces.empty()) break;
    }
    return joined;
  }

  asio::io_context &io_;
  const core::Config &config_;
};

}  // namespace

// In liblsl's creation order, so that both get the same port numbers on an
// idle host.
maroquint::base::Result<OutletSockets, OutletError> OpenOutletSockets(asio::io_context &io,
                                                                      const core::Config &config) {
  const auto bind_to = BindAddressesFor(config);
  if (!bind_to) return bind_to.Err();
  const auto scope = core::ScopeAddressesFor(config);
  const bool want_v6 = config.ipv6 != core::IPv6Mode::kDisable;
  Builder build(io, config);
  asio::error_code ec;

  auto v4_service = build.Service(bind_to->v4, ec);
  if (!v4_service)
    return Fail(OutletError::kNoIPv4ServicePort, "no IPv4 service port: " + ec.message());
  std::vector<udp::socket> discovery;
  for (const auto &target : scope.ipv4)
    if (auto socket = build.Discovery(bind_to->v4, target, scope.ttl))
      discovery.push_back(std::move(*socket));
  const std::size_t v4_discovery = discovery.size();

  std::optional<udp::socket> v6_service;
  if (want_v6) {
    v6_service = build.Service(bind_to->v6, ec);
    if (v6_service) {
      for (const auto &target : scope.ipv6)
        if (auto socket = build.Discovery(bind_to->v6, target, scope.ttl))
          discovery.push_back(std::move(*socket));
    } else {
      LogWarning("could not bind the IPv6 service port: " + ec.message());
    }
  }

  auto v4_data = build.Data(bind_to->v4, ec);
  if (!v4_data) return Fail(OutletError::kNoIPv4DataPort, "no IPv4 data port: " + ec.message());
  std::optional<tcp::acceptor> v6_data;
  if (v6_service) {
    v6_data = build.Data(bind_to->v6, ec);
    if (!v6_data) {
      LogWarning("could not bind the IPv6 data port: " + ec.message());
      // Both IPv6 ports or neither: a consumer needs both.
      v6_service.reset();
      discovery.erase(discovery.begin() + static_cast<std::ptrdiff_t>(v4_discovery),
                      discovery.end());
    }
  }
  return OutletSockets{std::move(*v4_service), std::move(v6_service), std::move(*v4_data),
                       std::move(v6_data), std::move(discovery)};
}

}  // namespace maroquint::lsl::net
