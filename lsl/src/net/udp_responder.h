// One UDP socket of an outlet: a service socket answers discovery queries
// and time probes, a discovery socket on the multicast port answers
// discovery queries only.
#pragma once

#include "core/protocol/constants.h"
#include "net/outlet_state.h"

#include <asio/ip/udp.hpp>

#include <array>
#include <string_view>

namespace maroquint::lsl::net {

class UdpResponder {
 public:
  // Takes an open, bound socket.
  UdpResponder(asio::ip::udp::socket socket, bool service, const Published &published)
      : socket_(std::move(socket)), service_(service), published_(published) {}

  void Start() { Receive(); }
  void Close();
  asio::ip::udp::socket &Socket() { return socket_; }

 private:
  void Receive();
  // arrival: LocalClock() when the datagram arrived, t1 of a time probe.
  void OnDatagram(std::string_view datagram, double arrival);

  asio::ip::udp::socket socket_;
  const bool service_;
  const Published &published_;
  std::array<char, core::kMaxDatagramBytes + 1> buffer_{};
  asio::ip::udp::endpoint sender_;
};

}  // namespace maroquint::lsl::net
