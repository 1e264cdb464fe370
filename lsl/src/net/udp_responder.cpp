#include "net/udp_responder.h"

#include "core/protocol/discovery.h"
#include "core/protocol/timedata.h"
#include "core/query.h"
#include "net/platform.h"
#include "net/udp_receive.h"

namespace maroquint::lsl::net {

using asio::ip::udp;

void UdpResponder::Close() {
  asio::error_code ignored;
  socket_.close(ignored);
}

void UdpResponder::Receive() {
  ReceiveStamped(
      socket_, asio::buffer(buffer_), sender_,
      [this](std::string_view datagram, double arrival) { OnDatagram(datagram, arrival); },
      [this](const asio::error_code &ec) {
        return ec != asio::error::operation_aborted && socket_.is_open();
      });
}

void UdpResponder::OnDatagram(std::string_view datagram, double arrival) {
  asio::error_code ec;
  switch (core::ClassifyDatagram(datagram)) {
    case core::DatagramKind::kShortinfo: {
      auto request = core::ParseShortinfoQuery(datagram);
      if (!request ||
          !core::Query::Compile(request->query).Matches(published_.query_doc.child("info")))
        return;
      auto reply = core::FormatShortinfoReply(request->query_id, published_.short_xml);
      socket_.send_to(asio::buffer(reply), udp::endpoint(sender_.address(), request->reply_port), 0,
                      ec);
      return;
    }
    case core::DatagramKind::kTimedata: {
      if (!service_) return;
      auto probe = core::ParseTimeProbe(datagram);
      if (!probe) return;
      // The reply's time as close to its sending as the text allows: the
      // prober stamps its probe the same way, so the two delays cancel.
      auto reply = core::FormatTimeReply(*probe, arrival, LocalClock());
      socket_.send_to(asio::buffer(reply), sender_, 0, ec);
      return;
    }
    case core::DatagramKind::kOther:
      return;
  }
}

}  // namespace maroquint::lsl::net
