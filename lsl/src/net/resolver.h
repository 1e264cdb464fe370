// Discovery over UDP: query waves to the configured scope's addresses (and
// KnownPeers), replies collected on a socket of our own. The schedule and the
// bookkeeping live in core::ResolveSession; this is only the socket side.
#pragma once

#include "base/result.h"
#include "core/config.h"
#include "core/resolve_session.h"
#include "core/stream_info.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace maroquint::lsl::net {

// One resolve running on an io_context. The callback gets the results
// (ordered by uid) once the resolve ends; cancel() ends it without calling back.
class ResolveOperation : public std::enable_shared_from_this<ResolveOperation> {
 public:
  using Callback = std::function<void(std::vector<core::StreamInfo>)>;

  ResolveOperation(asio::io_context &io, const core::Config &config, std::string query, int minimum,
                   double timeout, double minimum_time, Callback done);
  void Start();
  void Cancel();

 private:
  void OpenSocket();
  void SendWave(core::WaveKind kind);
  void SendTo(const asio::ip::udp::endpoint &target);
  void Schedule();
  void Receive();
  void Finish();

  asio::io_context &io_;
  const core::Config &config_;
  core::ResolveSession session_;
  Callback done_;
  asio::ip::udp::socket socket_;
  asio::steady_timer timer_;
  // KnownPeers names are looked up in the background; a unicast wave goes
  // to the peers whose addresses are known by then.
  asio::ip::udp::resolver names_;
  std::string datagram_;
  std::vector<asio::ip::udp::endpoint> multicast_targets_;
  std::vector<asio::ip::udp::endpoint> unicast_targets_;
  std::vector<asio::ip::address_v4> interfaces_;
  std::vector<asio::ip::address_v4> peers_;
  std::array<char, 65536> buffer_{};
  asio::ip::udp::endpoint sender_;
  bool finished_ = false;
};

// Blocks the calling thread for one resolve: returns as soon as `minimum`
// (> 0) streams are known, else when `timeout` has passed.
enum class ResolveError {
  // no I/O context could be had (out of descriptors)
  kOutOfResources,
};
maroquint::base::Result<std::vector<core::StreamInfo>, ResolveError> Resolve(
    const core::Config &config, const std::string &query, int minimum, double timeout);

}  // namespace maroquint::lsl::net
