// Opens an outlet's sockets: the service port (UDP) and data port (TCP) of
// each address family, and one discovery socket per address of the resolve
// scope. IPv4 is required; IPv6 is served where the host has it, both of
// its ports or neither. A socket that cannot be set up otherwise is one
// warning.
#pragma once

#include "base/result.h"
#include "core/config.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ip/udp.hpp>

#include <optional>
#include <vector>

namespace maroquint::lsl::net {

enum class OutletError {
  kBadListenAddress,
  kNoIPv4ServicePort,
  kNoIPv4DataPort,
  // no I/O context or thread could be had (out of descriptors or threads)
  kOutOfResources,
};

struct OutletSockets {
  asio::ip::udp::socket v4_service;
  std::optional<asio::ip::udp::socket> v6_service;
  asio::ip::tcp::acceptor v4_data;
  std::optional<asio::ip::tcp::acceptor> v6_data;
  std::vector<asio::ip::udp::socket> discovery;
};

maroquint::base::Result<OutletSockets, OutletError> OpenOutletSockets(asio::io_context &io,
                                                                      const core::Config &config);

// The port a socket is bound to, 0 when it cannot be told.
template <typename Socket>
uint16_t BoundPort(const Socket &socket) {
  asio::error_code ec;
  const auto endpoint = socket.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

}  // namespace maroquint::lsl::net
