// Receiving datagrams with the moment each arrived, for clock probes. An
// I/O thread gets to a datagram late by however long the scheduler took to
// wake it and the handlers queued before; that delay, on one side of a
// probe and not the other, is an error in the clock offset measured.
#pragma once

#include <asio/ip/udp.hpp>

#include <functional>
#include <string_view>

namespace maroquint::lsl::net {

// A datagram and its arrival on LocalClock().
using OnStampedDatagram = std::function<void(std::string_view datagram, double arrival)>;
// A receive's error; true to go on receiving.
using OnReceiveError = std::function<bool(const asio::error_code &ec)>;

// Receives on `socket` into `buffer` (the sender into `sender`) until
// on_error says to stop or the socket is closed; all three must outlive
// that. The arrival is the system's stamp of the datagram where it gives
// one (Linux), else the clock read as the receive completes.
void ReceiveStamped(asio::ip::udp::socket &socket, asio::mutable_buffer buffer,
                    asio::ip::udp::endpoint &sender, OnStampedDatagram on_datagram,
                    OnReceiveError on_error);

}  // namespace maroquint::lsl::net
