#include "net/outlet.h"

#include "core/protocol/sample.h"
#include "core/protocol/streamfeed.h"
#include "core/uuid.h"
#include "net/consumer_session.h"
#include "net/handler_memory.h"
#include "net/listener.h"
#include "net/log.h"
#include "net/outlet_state.h"
#include "net/platform.h"
#include "net/udp_responder.h"

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace lsl::net {
namespace {

using asio::ip::tcp;
using asio::ip::udp;

// ListenAddress names the address of one family; the other binds to its
// wildcard address.
struct BindAddresses {
  asio::ip::address_v4 v4 = asio::ip::address_v4::any();
  asio::ip::address_v6 v6 = asio::ip::address_v6::any();
};

BindAddresses BindAddressesFor(const core::Config &config) {
  BindAddresses out;
  if (config.listen_address.empty()) return out;
  asio::error_code ec;
  auto address = asio::ip::make_address(config.listen_address, ec);
  if (ec) throw std::runtime_error("ListenAddress is not an IP address: " + config.listen_address);
  if (address.is_v4())
    out.v4 = address.to_v4();
  else
    out.v6 = address.to_v6();
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

std::string Family(bool v6) {
  return v6 ? "IPv6" : "IPv4";
}

std::size_t ConsumerBuffer(const core::StreamInfo &info, int32_t max_buffered) {
  const double samples =
      info.nominal_srate > 0.0 ? max_buffered * info.nominal_srate : max_buffered * 100.0;
  if (!(samples >= 1.0)) return 1;
  return static_cast<std::size_t>(
      std::min(samples, static_cast<double>(core::SampleRing::kMaxCapacity)));
}

}  // namespace

class Outlet::Impl {
 public:
  Impl(core::StreamInfo info, int32_t max_buffered, const core::Config &config)
      : config_(config), feed_(ConsumerBuffer(info, max_buffered), Outlet::kMaxBufferedBytes) {
    auto &declared = published_.info;
    declared = std::move(info);
    declared.uid = core::UuidV4(RandomBytes16());
    declared.created_at = LocalClock();
    declared.session_id = config_.session_id;
    declared.hostname = HostName();
    declared.version = core::kProtocolVersion;
    OpenSockets();
    published_.short_xml = core::ToShortXml(declared);
    published_.full_xml = core::ToFullXml(declared);
    core::BuildXmlDocument(declared, published_.query_doc, true);
    published_.ok_reply =
        core::StreamfeedOkReply(declared.uid, static_cast<std::size_t>(declared.channel_count));
    for (auto &l : listeners_) l->Start();
    for (auto &u : responders_) u->Start();
    thread_ = std::thread([this] { Run(); });
  }

  ~Impl() {
    asio::post(io_, [this] {
      CloseAll();
      io_.stop();
    });
    thread_.join();
  }

  const core::StreamInfo &Info() const { return published_.info; }
  std::size_t BufferSamples() const { return feed_.ring.Capacity(); }

  bool Push(const char *const *channels, double timestamp) {
    const auto channel_count = static_cast<std::size_t>(published_.info.channel_count);
    if (core::StringSampleSize(channels, channel_count) > Outlet::kMaxBufferedBytes) return false;
    if (timestamp == 0.0 || config_.force_default_timestamps) timestamp = LocalClock();
    {
      std::lock_guard<std::mutex> lock(feed_.mutex);
      // Nobody can ever read a sample pushed while no one listens.
      if (feed_.consumers == 0) return true;
      scratch_.clear();
      core::AppendStringSample(scratch_, timestamp, channels, channel_count);
      feed_.ring.Push(scratch_);
    }
    if (!wake_pending_.exchange(true, std::memory_order_acq_rel))
      asio::post(io_, asio::bind_allocator(wake_memory_.MakeAllocator<int>(), [this] { Drain(); }));
    return true;
  }

  bool HaveConsumers() const { return feed_.consumer_count.load() > 0; }

  bool WaitForConsumers(double timeout) {
    std::unique_lock<std::mutex> lock(feed_.mutex);
    const auto limit = std::chrono::duration<double>(std::max(0.0, std::min(timeout, 1e7)));
    return feed_.consumers_changed.wait_for(lock, limit, [this] { return feed_.consumers > 0; });
  }

 private:
  using SessionPtr = std::shared_ptr<ConsumerSession>;

  void Run() {
    YieldOnWakeup();
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception &e) {
        LogWarning(std::string("outlet: ") + e.what());
      }
    }
  }

  // IPv4 is required; IPv6 is served where the host has it, in liblsl's
  // creation order so that both get the same port numbers on an idle host.
  void OpenSockets() {
    auto &declared = published_.info;
    const auto scope = core::ScopeAddressesFor(config_);
    const bool want_v6 = config_.ipv6 != core::IPv6Mode::kDisable;
    const auto bind_to = BindAddressesFor(config_);
    asio::error_code ec;

    auto v4_service = OpenService(udp::v4(), bind_to.v4, ec);
    if (!v4_service) throw std::runtime_error("no IPv4 service port: " + ec.message());
    declared.v4service_port = v4_service->Socket().local_endpoint().port();
    responders_.push_back(std::move(v4_service));
    for (const auto &target : scope.ipv4) OpenDiscoveryV4(bind_to.v4, target, scope.ttl);

    if (want_v6) {
      if (auto v6_service = OpenService(udp::v6(), bind_to.v6, ec)) {
        declared.v6service_port = v6_service->Socket().local_endpoint().port();
        responders_.push_back(std::move(v6_service));
        for (const auto &target : scope.ipv6) OpenDiscoveryV6(bind_to.v6, target, scope.ttl);
      } else {
        LogWarning("could not bind the IPv6 service port: " + ec.message());
      }
    }

    auto v4_listener = OpenListener(tcp::v4(), bind_to.v4, ec);
    if (!v4_listener) throw std::runtime_error("no IPv4 data port: " + ec.message());
    declared.v4data_port = v4_listener->Acceptor().local_endpoint().port();
    listeners_.push_back(std::move(v4_listener));
    if (want_v6 && declared.v6service_port != 0) {
      if (auto v6_listener = OpenListener(tcp::v6(), bind_to.v6, ec)) {
        declared.v6data_port = v6_listener->Acceptor().local_endpoint().port();
        listeners_.push_back(std::move(v6_listener));
      } else {
        LogWarning("could not bind the IPv6 data port: " + ec.message());
      }
    }
    // Both IPv6 ports or neither: a consumer needs both.
    if (declared.v6data_port == 0 && declared.v6service_port != 0) {
      declared.v6service_port = 0;
      responders_.erase(std::remove_if(responders_.begin(), responders_.end(),
                                       [](const auto &u) {
                                         asio::error_code e;
                                         return u->Socket().local_endpoint(e).protocol() ==
                                                udp::v6();
                                       }),
                        responders_.end());
    }
  }

  std::unique_ptr<UdpResponder> OpenService(udp protocol, const asio::ip::address &address,
                                            asio::error_code &ec) {
    udp::socket socket(io_);
    socket.open(protocol, ec);
    if (ec) return nullptr;
    KeepFromChildProcesses(socket.native_handle());
    BindInRange<udp::socket, udp::endpoint>(socket, address, config_, ec);
    if (ec) return nullptr;
    socket.non_blocking(true, ec);
    if (ec) return nullptr;
    return std::make_unique<UdpResponder>(std::move(socket), true, published_);
  }

  std::unique_ptr<Listener> OpenListener(tcp protocol, const asio::ip::address &address,
                                         asio::error_code &ec) {
    tcp::acceptor acceptor(io_);
    acceptor.open(protocol, ec);
    if (ec) return nullptr;
    KeepFromChildProcesses(acceptor.native_handle());
#ifndef _WIN32
    // Lets a restarted outlet take its port back at once; on Windows the
    // same option would let two listeners share a port.
    acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    BindInRange<tcp::acceptor, tcp::endpoint>(acceptor, address, config_, ec);
    if (ec) return nullptr;
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return nullptr;
    return std::make_unique<Listener>(
        std::move(acceptor), [this](tcp::socket socket) { Admit(std::move(socket)); },
        [this] { DropOldestPending(); });
  }

  // One socket per address of the scope, as liblsl has, so that both
  // implementations answer alike next to each other on one host.
  void OpenDiscoveryV4(asio::ip::address_v4 bind_to, const std::string &target, int ttl) {
    asio::error_code ec;
    auto group = asio::ip::make_address_v4(target, ec);
    if (ec) return;
    auto socket = OpenDiscovery(udp::v4(), bind_to, ttl, target);
    if (!socket) return;
    if (group.is_multicast()) {
      bool joined = false;
      std::vector<std::string> interfaces = config_.interfaces;
      if (interfaces.empty()) interfaces = {"0.0.0.0", "127.0.0.1"};
      for (const auto &name : interfaces) {
        auto iface = asio::ip::make_address_v4(name, ec);
        if (ec) continue;
        socket->set_option(asio::ip::multicast::join_group(group, iface), ec);
        if (!ec) joined = true;
        if (joined && config_.interfaces.empty()) break;
      }
      if (!joined) return;
    }
    responders_.push_back(std::make_unique<UdpResponder>(std::move(*socket), false, published_));
  }

  void OpenDiscoveryV6(asio::ip::address_v6 bind_to, const std::string &target, int ttl) {
    asio::error_code ec;
    auto group = asio::ip::make_address_v6(target, ec);
    if (ec) return;
    auto socket = OpenDiscovery(udp::v6(), bind_to, ttl, target);
    if (!socket) return;
    if (group.is_multicast()) {
      socket->set_option(asio::ip::multicast::join_group(group), ec);
      if (ec) return;
    }
    responders_.push_back(std::make_unique<UdpResponder>(std::move(*socket), false, published_));
  }

  std::optional<udp::socket> OpenDiscovery(udp protocol, const asio::ip::address &bind_to, int ttl,
                                           const std::string &target) {
    asio::error_code ec;
    udp::socket socket(io_);
    socket.open(protocol, ec);
    if (!ec) {
      KeepFromChildProcesses(socket.native_handle());
      socket.set_option(udp::socket::reuse_address(true), ec);
      // IPv4 queries belong to the IPv4 sockets.
      if (protocol == udp::v6()) socket.set_option(asio::ip::v6_only(true), ec);
      socket.bind(udp::endpoint(bind_to, config_.multicast_port), ec);
    }
    if (ec) {
      // Without it the stream cannot be found by queries sent to `target`.
      LogWarning("could not bind the " + Family(protocol == udp::v6()) + " discovery port " +
                 std::to_string(config_.multicast_port) + " for " + target + ": " + ec.message());
      return std::nullopt;
    }
    socket.non_blocking(true, ec);
    socket.set_option(asio::ip::multicast::hops(ttl), ec);
    return socket;
  }

  // Every connection gets in: when the unfinished requests are at their
  // limit, the one waiting longest makes room.
  void Admit(tcp::socket socket) {
    while (pending_.size() >= Outlet::kMaxPendingRequests) DropOldestPending();
    ConsumerSession::Hooks hooks;
    hooks.admit_stream = [this](ConsumerSession &s) { return AdmitStream(s); };
    hooks.closed = [this](ConsumerSession &s) { Forget(s); };
    auto session = std::make_shared<ConsumerSession>(std::move(socket), published_, feed_,
                                                     config_.request_timeout, std::move(hooks));
    pending_.push_back(session);
    session->Start();
  }

  void DropOldestPending() {
    if (pending_.empty()) return;
    // Keep the session alive while it closes: Close() removes it from the list.
    SessionPtr oldest = pending_.front();
    oldest->Close();
  }

  bool AdmitStream(ConsumerSession &session) {
    if (streaming_.size() >= Outlet::kMaxStreamingConsumers) {
      // The consumer stuck longest in a write makes room; if all are reading, refuse.
      auto stuck = std::min_element(streaming_.begin(), streaming_.end(), [](auto &a, auto &b) {
        return a->WriteStarted() < b->WriteStarted();
      });
      if ((*stuck)->WriteStarted() == std::chrono::steady_clock::time_point::max()) return false;
      SessionPtr victim = *stuck;
      victim->Close();
    }
    auto it = FindSession(pending_, session);
    if (it == pending_.end()) return false;
    streaming_.splice(streaming_.end(), pending_, it);
    return true;
  }

  static std::list<SessionPtr>::iterator FindSession(std::list<SessionPtr> &list,
                                                     const ConsumerSession &session) {
    return std::find_if(list.begin(), list.end(),
                        [&](const SessionPtr &p) { return p.get() == &session; });
  }

  void Forget(ConsumerSession &session) {
    for (auto *list : {&pending_, &streaming_}) {
      auto it = FindSession(*list, session);
      if (it != list->end()) {
        list->erase(it);
        return;
      }
    }
  }

  void Drain() {
    wake_pending_.store(false, std::memory_order_release);
    uint64_t oldest_needed = UINT64_MAX;
    for (auto &s : streaming_) {
      s->SendMore();
      oldest_needed = std::min(oldest_needed, s->Cursor());
    }
    std::lock_guard<std::mutex> lock(feed_.mutex);
    feed_.ring.ReleaseBefore(std::min(oldest_needed, feed_.ring.Head()));
  }

  void CloseAll() {
    for (auto &l : listeners_) l->Close();
    for (auto &u : responders_) u->Close();
    for (auto *list : {&pending_, &streaming_}) {
      auto all = *list;
      for (auto &s : all) s->Close();
    }
  }

  core::Config config_;
  Published published_;
  SampleFeed feed_;
  std::string scratch_;  // guarded by feed_.mutex
  std::atomic<bool> wake_pending_{false};
  HandlerMemory wake_memory_;

  // I/O thread only.
  asio::io_context io_{1};
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::vector<std::unique_ptr<UdpResponder>> responders_;
  // Connections still reading their request (or taking an answer before
  // they close), oldest first; and consumers being streamed to.
  std::list<SessionPtr> pending_;
  std::list<SessionPtr> streaming_;
  std::thread thread_;
};

Outlet::Outlet(core::StreamInfo info, int32_t max_buffered, const core::Config &config)
    : impl_(std::make_unique<Impl>(std::move(info), max_buffered, config)) {}
Outlet::~Outlet() = default;
const core::StreamInfo &Outlet::Info() const {
  return impl_->Info();
}
std::size_t Outlet::BufferSamples() const {
  return impl_->BufferSamples();
}
bool Outlet::Push(const char *const *channels, double timestamp) {
  return impl_->Push(channels, timestamp);
}
bool Outlet::HaveConsumers() const {
  return impl_->HaveConsumers();
}
bool Outlet::WaitForConsumers(double timeout) {
  return impl_->WaitForConsumers(timeout);
}

}  // namespace lsl::net
