#include "net/udp_receive.h"

#include "net/platform.h"

#ifdef __linux__
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#endif

namespace maroquint::lsl::net {
namespace {

#ifdef __linux__

// The kernel stamps a datagram on CLOCK_REALTIME; LocalClock() is
// CLOCK_MONOTONIC. The stamp's age on the one clock is its age on the
// other: both advance at the same rate, NTP slewing each alike.
double ArrivalOnLocalClock(const timespec &stamp, double fallback) {
  // The wall clock is read between two reads of the local clock, and the
  // tightest of a few such brackets kept: a thread preempted between the
  // reads (milliseconds on a busy machine) would put the wall clock's
  // reading anywhere in the bracket.
  constexpr int kAttempts = 4;
  constexpr double kTightSeconds = 2e-6;
  double best_bracket = INFINITY;
  double local_at_wall = 0.0;
  timespec wall{};
  for (int attempt = 0; attempt < kAttempts && best_bracket > kTightSeconds; ++attempt) {
    timespec reading{};
    const double before = LocalClock();
    clock_gettime(CLOCK_REALTIME, &reading);
    const double after = LocalClock();
    if (after - before < best_bracket) {
      best_bracket = after - before;
      local_at_wall = (before + after) / 2.0;
      wall = reading;
    }
  }
  const double age = static_cast<double>(wall.tv_sec - stamp.tv_sec) +
                     static_cast<double>(wall.tv_nsec - stamp.tv_nsec) / 1e9;
  // A wall clock set while the datagram waited makes the age meaningless.
  if (!(age >= 0.0 && age < 1.0)) return fallback;
  return local_at_wall - age;
}

// One waiting datagram, without blocking; would_block when none waits.
std::size_t ReceiveOne(asio::ip::udp::socket &socket, asio::mutable_buffer buffer,
                       asio::ip::udp::endpoint &sender, double &arrival, asio::error_code &ec) {
  iovec io{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_name = sender.data();
  message.msg_namelen = static_cast<socklen_t>(sender.capacity());
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(socket.native_handle(), &message, MSG_DONTWAIT);
  const int error = errno;
  const double received = LocalClock();
  if (n < 0) {
    ec = asio::error_code(error, asio::error::get_system_category());
    return 0;
  }
  ec.clear();
  sender.resize(std::min<std::size_t>(message.msg_namelen, sender.capacity()));
  arrival = received;
  for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp{};
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      arrival = ArrivalOnLocalClock(stamp, received);
    }
  }
  return static_cast<std::size_t>(n);
}

void Receive(asio::ip::udp::socket &socket, asio::mutable_buffer buffer,
             asio::ip::udp::endpoint &sender, OnStampedDatagram on_datagram,
             OnReceiveError on_error) {
  // A peek of no bytes waits for a datagram without taking it, so that the
  // receive below gets its stamp.
  socket.async_receive_from(
      asio::mutable_buffer(buffer.data(), 0), sender, asio::socket_base::message_peek,
      [&socket, buffer, &sender, on_datagram = std::move(on_datagram),
       on_error = std::move(on_error)](const asio::error_code &ec, std::size_t) mutable {
        if (ec && !on_error(ec)) return;
        // Every waiting datagram: the peek ends only on new arrivals.
        while (socket.is_open()) {
          asio::error_code receive_ec;
          double arrival = 0.0;
          const std::size_t n = ReceiveOne(socket, buffer, sender, arrival, receive_ec);
          if (receive_ec == asio::error::would_block || receive_ec == asio::error::try_again) break;
          if (receive_ec) {
            if (!on_error(receive_ec)) return;
            break;
          }
          on_datagram(std::string_view(static_cast<const char *>(buffer.data()), n), arrival);
        }
        Receive(socket, buffer, sender, std::move(on_datagram), std::move(on_error));
      });
}

#else

void Receive(asio::ip::udp::socket &socket, asio::mutable_buffer buffer,
             asio::ip::udp::endpoint &sender, OnStampedDatagram on_datagram,
             OnReceiveError on_error) {
  socket.async_receive_from(
      buffer, sender,
      [&socket, buffer, &sender, on_datagram = std::move(on_datagram),
       on_error = std::move(on_error)](const asio::error_code &ec, std::size_t n) mutable {
        const double arrival = LocalClock();
        if (ec && !on_error(ec)) return;
        if (!ec)
          on_datagram(std::string_view(static_cast<const char *>(buffer.data()), n), arrival);
        Receive(socket, buffer, sender, std::move(on_datagram), std::move(on_error));
      });
}

#endif

}  // namespace

void ReceiveStamped(asio::ip::udp::socket &socket, asio::mutable_buffer buffer,
                    asio::ip::udp::endpoint &sender, OnStampedDatagram on_datagram,
                    OnReceiveError on_error) {
#ifdef __linux__
  // Without stamps (an old kernel) the clock read at the receive stands in.
  const int on = 1;
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
#endif
  Receive(socket, buffer, sender, std::move(on_datagram), std::move(on_error));
}

}  // namespace maroquint::lsl::net
