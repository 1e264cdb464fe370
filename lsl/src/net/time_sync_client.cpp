#include "net/time_sync_client.h"

#include "net/platform.h"
#include "net/timer.h"
#include "net/udp_receive.h"

#include <algorithm>

namespace maroquint::lsl::net {

TimeSyncClient::TimeSyncClient(asio::io_context &io, const core::Config &config, Target target,
                               OnEstimate on_estimate)
    : config_(config),
      target_(std::move(target)),
      on_estimate_(std::move(on_estimate)),
      socket_(io),
      timer_(io),
      random_(std::random_device{}()) {}

void TimeSyncClient::Start() {
  asio::error_code ec;
  socket_.open(asio::ip::udp::v4(), ec);
  if (ec) return;
  KeepFromChildProcesses(socket_.native_handle());
  socket_.bind({asio::ip::address_v4::any(), 0}, ec);
  if (ec) return;
  Receive();
  Round();
}

void TimeSyncClient::Round() {
  core::TimeSyncSettings settings;
  settings.probe_count = config_.time_probe_count;
  settings.probe_interval = config_.time_probe_interval;
  settings.probe_max_rtt = config_.time_probe_max_rtt;
  settings.min_probes = config_.time_update_min_probes;
  settings.update_interval = config_.time_update_interval;
  settings.burst = core::kProbeBurst;
  const auto wave = static_cast<int32_t>(random_() & 0x7fffffff);
  round_.emplace(wave, LocalClock(), settings);
  Tick(++round_id_);
}

void TimeSyncClient::Tick(uint64_t round_id) {
  if (!round_ || round_id != round_id_) return;
  const double now = LocalClock();
  const core::StreamInfo target = target_();
  asio::error_code ec;
  const auto address = asio::ip::make_address_v4(target.v4address, ec);
  const bool reachable = !ec && target.v4service_port != 0;
  const asio::ip::udp::endpoint outlet(address, target.v4service_port);
  while (round_->NextProbeTime() && *round_->NextProbeTime() <= now) {
    // t0 read right before the send: the outlet reads t2 right before its
    // reply's, and the two delays cancel in the offset.
    const std::string probe = round_->TakeProbe(LocalClock());
    if (reachable) socket_.send_to(asio::buffer(probe), outlet, 0, ec);
  }
  double wake = round_->EvaluateAt();
  if (round_->NextProbeTime()) wake = std::min(wake, *round_->NextProbeTime());
  if (now >= round_->EvaluateAt()) {
    if (const auto estimate = round_->Evaluate()) on_estimate_(*estimate);
    timer_.expires_after(Seconds(round_->NextRoundAt() - now));
    timer_.async_wait([this](const asio::error_code &wait_ec) {
      if (!wait_ec) Round();
    });
    return;
  }
  timer_.expires_after(Seconds(wake - now));
  timer_.async_wait([this, round_id](const asio::error_code &wait_ec) {
    if (!wait_ec) Tick(round_id);
  });
}

void TimeSyncClient::Receive() {
  ReceiveStamped(
      socket_, asio::buffer(buffer_), sender_,
      [this](std::string_view datagram, double arrival) {
        if (round_) round_->OnReply(datagram, arrival);
      },
      [](const asio::error_code &ec) {
        // An unreachable outlet shows up as refused datagrams; anything else ends the socket.
        return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
               ec == asio::error::message_size;
      });
}

}  // namespace maroquint::lsl::net
