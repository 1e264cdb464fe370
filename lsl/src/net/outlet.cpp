#include "net/outlet.h"

#include "core/protocol/discovery.h"
#include "core/protocol/request.h"
#include "core/protocol/sample.h"
#include "core/protocol/streamfeed.h"
#include "core/protocol/timedata.h"
#include "core/query.h"
#include "core/sample_ring.h"
#include "core/uuid.h"
#include "net/handler_memory.h"
#include "net/platform.h"

#include <asio.hpp>
#include <pugixml.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace lsl::net {
namespace {

using asio::ip::tcp;
using asio::ip::udp;

constexpr std::size_t kSendBatchBytes = 64 * 1024;
constexpr std::size_t kRingMaxBytes = std::size_t{64} << 20;
constexpr std::size_t kReadChunkBytes = 4096;

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
      : config_(config),
        info_(std::move(info)),
        ring_(ConsumerBuffer(info_, max_buffered), kRingMaxBytes) {
    info_.uid = core::UuidV4(RandomBytes16());
    info_.created_at = LocalClock();
    info_.session_id = config_.session_id;
    info_.hostname = HostName();
    info_.version = core::kProtocolVersion;
    OpenSockets();
    short_xml_ = core::ToShortXml(info_);
    full_xml_ = core::ToFullXml(info_);
    core::BuildXmlDocument(info_, query_doc_, true);
    ok_reply_ = core::StreamfeedOkReply(info_.uid, static_cast<std::size_t>(info_.channel_count));
    for (auto &a : acceptors_) StartAccept(*a);
    for (auto &u : udp_) StartReceive(*u);
    thread_ = std::thread([this] { Run(); });
  }

  ~Impl() {
    asio::post(io_, [this] {
      CloseAll();
      io_.stop();
    });
    thread_.join();
  }

  const core::StreamInfo &Info() const { return info_; }
  std::size_t BufferSamples() const { return ring_.Capacity(); }

  void Push(const char *const *channels, double timestamp) {
    if (timestamp == 0.0 || config_.force_default_timestamps) timestamp = LocalClock();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Nobody can ever read a sample pushed while no one listens.
      if (consumers_ == 0) return;
      scratch_.clear();
      core::AppendStringSample(scratch_, timestamp, channels,
                               static_cast<std::size_t>(info_.channel_count));
      ring_.Push(scratch_);
    }
    if (!wake_pending_.exchange(true, std::memory_order_acq_rel))
      asio::post(io_, asio::bind_allocator(wake_memory_.MakeAllocator<int>(), [this] { Drain(); }));
  }

  bool HaveConsumers() const { return consumer_count_.load() > 0; }

  bool WaitForConsumers(double timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto limit = std::chrono::duration<double>(std::max(0.0, std::min(timeout, 1e7)));
    return consumers_changed_.wait_for(lock, limit, [this] { return consumers_ > 0; });
  }

 private:
  struct Connection {
    Connection(asio::io_context &io, tcp::socket s, const std::string &uid)
        : socket(std::move(s)), deadline(io), reader(uid) {}
    tcp::socket socket;
    asio::steady_timer deadline;
    core::TcpRequestReader reader;
    std::array<char, kReadChunkBytes> in{};
    std::string out;
    HandlerMemory read_memory;
    HandlerMemory write_memory;
    bool pending_request = true;
    bool streaming = false;
    bool writing = false;
    bool open = true;
    uint64_t cursor = 0;
    uint64_t limit = 0;
  };
  using ConnectionPtr = std::shared_ptr<Connection>;

  // A service socket (shortinfo and timedata) or a discovery socket on
  // the multicast port (shortinfo only).
  struct UdpSocket {
    UdpSocket(asio::io_context &io, bool service) : socket(io), service(service) {}
    udp::socket socket;
    const bool service;
    std::array<char, core::kMaxDatagramBytes + 1> buffer{};
    udp::endpoint sender;
  };

  void Run() {
    YieldOnWakeup();
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception &e) {
        std::fprintf(stderr, "lsl outlet: %s\n", e.what());
      }
    }
  }

  // IPv4 is required; IPv6 is served where the host has it, in liblsl's
  // creation order so that both get the same port numbers on an idle host.
  void OpenSockets() {
    const auto scope = core::ScopeAddressesFor(config_);
    const bool want_v6 = config_.ipv6 != core::IPv6Mode::kDisable;
    const auto bind_to = BindAddressesFor(config_);
    const asio::ip::address v4_address = bind_to.v4;
    asio::error_code ec;

    auto v4_service = OpenService(udp::v4(), v4_address, ec);
    if (!v4_service) throw std::runtime_error("no IPv4 service port: " + ec.message());
    info_.v4service_port = v4_service->socket.local_endpoint().port();
    udp_.push_back(std::move(v4_service));
    for (const auto &target : scope.ipv4) OpenDiscoveryV4(v4_address.to_v4(), target, scope.ttl);

    if (want_v6) {
      if (auto v6_service = OpenService(udp::v6(), bind_to.v6, ec)) {
        info_.v6service_port = v6_service->socket.local_endpoint().port();
        udp_.push_back(std::move(v6_service));
        for (const auto &target : scope.ipv6) OpenDiscoveryV6(bind_to.v6, target, scope.ttl);
      }
    }

    auto v4_acceptor = OpenAcceptor(tcp::v4(), v4_address, ec);
    if (!v4_acceptor) throw std::runtime_error("no IPv4 data port: " + ec.message());
    info_.v4data_port = v4_acceptor->local_endpoint().port();
    acceptors_.push_back(std::move(v4_acceptor));
    if (want_v6 && info_.v6service_port != 0) {
      if (auto v6_acceptor = OpenAcceptor(tcp::v6(), bind_to.v6, ec)) {
        info_.v6data_port = v6_acceptor->local_endpoint().port();
        acceptors_.push_back(std::move(v6_acceptor));
      }
    }
    // Both IPv6 ports or neither: a consumer needs both.
    if (info_.v6data_port == 0 && info_.v6service_port != 0) {
      info_.v6service_port = 0;
      udp_.erase(std::remove_if(udp_.begin(), udp_.end(),
                                [](const auto &u) {
                                  asio::error_code e;
                                  return u->socket.local_endpoint(e).protocol() == udp::v6();
                                }),
                 udp_.end());
    }
  }

  std::unique_ptr<UdpSocket> OpenService(udp protocol, const asio::ip::address &address,
                                         asio::error_code &ec) {
    auto u = std::make_unique<UdpSocket>(io_, true);
    u->socket.open(protocol, ec);
    if (ec) return nullptr;
    KeepFromChildProcesses(u->socket.native_handle());
    BindInRange<udp::socket, udp::endpoint>(u->socket, address, config_, ec);
    if (ec) return nullptr;
    u->socket.non_blocking(true, ec);
    if (ec) return nullptr;
    return u;
  }

  std::unique_ptr<tcp::acceptor> OpenAcceptor(tcp protocol, const asio::ip::address &address,
                                              asio::error_code &ec) {
    auto a = std::make_unique<tcp::acceptor>(io_);
    a->open(protocol, ec);
    if (ec) return nullptr;
    KeepFromChildProcesses(a->native_handle());
#ifndef _WIN32
    // Lets a restarted outlet take its port back at once; on Windows the
    // same option would let two listeners share a port.
    a->set_option(tcp::acceptor::reuse_address(true), ec);
#endif
    BindInRange<tcp::acceptor, tcp::endpoint>(*a, address, config_, ec);
    if (ec) return nullptr;
    a->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return nullptr;
    return a;
  }

  // One socket per address of the scope, as liblsl has, so that both
  // implementations answer alike next to each other on one host.
  void OpenDiscoveryV4(asio::ip::address_v4 bind_to, const std::string &target, int ttl) {
    asio::error_code ec;
    auto group = asio::ip::make_address_v4(target, ec);
    if (ec) return;
    auto u = OpenDiscovery(udp::v4(), bind_to, ttl);
    if (!u) return;
    if (group.is_multicast()) {
      bool joined = false;
      std::vector<std::string> interfaces = config_.interfaces;
      if (interfaces.empty()) interfaces = {"0.0.0.0", "127.0.0.1"};
      for (const auto &name : interfaces) {
        auto iface = asio::ip::make_address_v4(name, ec);
        if (ec) continue;
        u->socket.set_option(asio::ip::multicast::join_group(group, iface), ec);
        if (!ec) joined = true;
        if (joined && config_.interfaces.empty()) break;
      }
      if (!joined) return;
    }
    udp_.push_back(std::move(u));
  }

  void OpenDiscoveryV6(asio::ip::address_v6 bind_to, const std::string &target, int ttl) {
    asio::error_code ec;
    auto group = asio::ip::make_address_v6(target, ec);
    if (ec) return;
    auto u = OpenDiscovery(udp::v6(), bind_to, ttl);
    if (!u) return;
    if (group.is_multicast()) {
      u->socket.set_option(asio::ip::multicast::join_group(group), ec);
      if (ec) return;
    }
    udp_.push_back(std::move(u));
  }

  std::unique_ptr<UdpSocket> OpenDiscovery(udp protocol, const asio::ip::address &bind_to,
                                           int ttl) {
    asio::error_code ec;
    auto u = std::make_unique<UdpSocket>(io_, false);
    u->socket.open(protocol, ec);
    if (ec) return nullptr;
    KeepFromChildProcesses(u->socket.native_handle());
    u->socket.set_option(udp::socket::reuse_address(true), ec);
    // IPv4 queries belong to the IPv4 sockets.
    if (protocol == udp::v6()) u->socket.set_option(asio::ip::v6_only(true), ec);
    u->socket.bind(udp::endpoint(bind_to, config_.multicast_port), ec);
    if (ec) return nullptr;
    u->socket.non_blocking(true, ec);
    u->socket.set_option(asio::ip::multicast::hops(ttl), ec);
    return u;
  }

  void StartReceive(UdpSocket &u) {
    u.socket.async_receive_from(
        asio::buffer(u.buffer), u.sender, [this, &u](const asio::error_code &ec, std::size_t n) {
          if (ec == asio::error::operation_aborted || !u.socket.is_open()) return;
          if (!ec) OnDatagram(u.socket, std::string_view(u.buffer.data(), n), u.sender, u.service);
          StartReceive(u);
        });
  }

  void OnDatagram(udp::socket &socket, std::string_view datagram, const udp::endpoint &sender,
                  bool service) {
    const double t1 = LocalClock();
    asio::error_code ec;
    switch (core::ClassifyDatagram(datagram)) {
      case core::DatagramKind::kShortinfo: {
        auto request = core::ParseShortinfoQuery(datagram);
        if (!request || !core::Query::Compile(request->query).Matches(query_doc_.child("info")))
          return;
        auto reply = core::FormatShortinfoReply(request->query_id, short_xml_);
        socket.send_to(asio::buffer(reply), udp::endpoint(sender.address(), request->reply_port), 0,
                       ec);
        return;
      }
      case core::DatagramKind::kTimedata: {
        if (!service) return;
        auto probe = core::ParseTimeProbe(datagram);
        if (!probe) return;
        auto reply = core::FormatTimeReply(*probe, t1, LocalClock());
        socket.send_to(asio::buffer(reply), sender, 0, ec);
        return;
      }
      case core::DatagramKind::kOther:
        return;
    }
  }

  void StartAccept(tcp::acceptor &acceptor) {
    acceptor.async_accept([this, &acceptor](const asio::error_code &ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (!ec) OnAccept(std::move(socket));
      StartAccept(acceptor);
    });
  }

  void OnAccept(tcp::socket socket) {
    if (connections_.size() >= Outlet::kMaxConnections ||
        pending_requests_ >= Outlet::kMaxPendingRequests) {
      asio::error_code ignored;
      socket.close(ignored);
      return;
    }
    KeepFromChildProcesses(socket.native_handle());
    asio::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    auto c = std::make_shared<Connection>(io_, std::move(socket), info_.uid);
    connections_.push_back(c);
    ++pending_requests_;
    c->deadline.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(Outlet::kRequestTimeoutSeconds)));
    c->deadline.async_wait([this, weak = std::weak_ptr<Connection>(c)](const asio::error_code &ec) {
      auto c = weak.lock();
      if (!ec && c && c->pending_request) Close(c);
    });
    ReadRequest(c);
  }

  void ReadRequest(const ConnectionPtr &c) {
    c->socket.async_read_some(
        asio::buffer(c->in),
        asio::bind_allocator(c->read_memory.MakeAllocator<int>(),
                             [this, c](const asio::error_code &ec, std::size_t n) {
                               if (!c->open) return;
                               if (ec) return Close(c);
                               c->reader.Feed(c->in.data(), n);
                               if (c->reader.Result().kind == core::TcpRequest::Kind::kIncomplete)
                                 return ReadRequest(c);
                               OnRequest(c);
                             }));
  }

  void OnRequest(const ConnectionPtr &c) {
    using Kind = core::TcpRequest::Kind;
    const auto &request = c->reader.Result();
    c->pending_request = false;
    --pending_requests_;
    c->deadline.cancel();
    // Info replies and refusals: write, then close; a peer that stops
    // reading loses its connection when the deadline passes.
    auto answer_and_close = [&](std::string_view text) {
      c->out.assign(text.data(), text.size());
      c->writing = true;
      ArmCloseDeadline(c);
      asio::async_write(c->socket, asio::buffer(c->out),
                        [this, c](const asio::error_code &, std::size_t) {
                          c->writing = false;
                          asio::error_code ignored;
                          c->socket.shutdown(tcp::socket::shutdown_both, ignored);
                          Close(c);
                        });
    };
    switch (request.kind) {
      case Kind::kFullinfo:
        return answer_and_close(full_xml_);
      case Kind::kShortinfo:
        if (core::Query::Compile(request.query).Matches(query_doc_.child("info")))
          return answer_and_close(short_xml_);
        return Close(c);
      case Kind::kNotFound:
        return answer_and_close(core::kNotFoundReply);
      case Kind::kVersionNotSupported:
        return answer_and_close(core::kVersionNotSupportedReply);
      case Kind::kStreamfeed:
        if (request.max_buffer_length <= 0) return answer_and_close(ok_reply_);
        return StartStreaming(c, static_cast<uint64_t>(request.max_buffer_length));
      case Kind::kIncomplete:
      case Kind::kClose:
        return Close(c);
    }
  }

  void ArmCloseDeadline(const ConnectionPtr &c) {
    c->deadline.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(Outlet::kRequestTimeoutSeconds)));
    c->deadline.async_wait([this, weak = std::weak_ptr<Connection>(c)](const asio::error_code &ec) {
      auto c = weak.lock();
      if (!ec && c) Close(c);
    });
  }

  void StartStreaming(const ConnectionPtr &c, uint64_t max_buffer_length) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // From here on every push reaches this consumer.
      c->cursor = ring_.Head();
      c->limit = std::min<uint64_t>(max_buffer_length, ring_.Capacity());
      c->streaming = true;
      ++consumers_;
      consumer_count_.store(consumers_);
    }
    consumers_changed_.notify_all();
    c->out.reserve(std::max(kSendBatchBytes, ok_reply_.size()));
    c->out = ok_reply_;
    c->writing = true;
    asio::async_write(c->socket, asio::buffer(c->out),
                      asio::bind_allocator(c->write_memory.MakeAllocator<int>(),
                                           [this, c](const asio::error_code &ec, std::size_t) {
                                             OnWritten(c, ec);
                                           }));
    DiscardInput(c);
  }

  // Bytes a consumer sends after its request mean nothing; reading them
  // notices when it goes away.
  void DiscardInput(const ConnectionPtr &c) {
    c->socket.async_read_some(
        asio::buffer(c->in),
        asio::bind_allocator(c->read_memory.MakeAllocator<int>(),
                             [this, c](const asio::error_code &ec, std::size_t) {
                               if (!c->open) return;
                               if (ec) return Close(c);
                               DiscardInput(c);
                             }));
  }

  void OnWritten(const ConnectionPtr &c, const asio::error_code &ec) {
    c->writing = false;
    if (!c->open) return;
    if (ec) return Close(c);
    SendMore(c);
  }

  void SendMore(const ConnectionPtr &c) {
    if (c->writing || !c->open) return;
    c->out.clear();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto head = ring_.Head();
      // A consumer further behind than its buffer loses the oldest.
      if (head - c->cursor > c->limit) c->cursor = head - c->limit;
      c->cursor = ring_.CopyOut(c->cursor, c->out, kSendBatchBytes);
    }
    if (c->out.empty()) return;
    c->writing = true;
    asio::async_write(c->socket, asio::buffer(c->out),
                      asio::bind_allocator(c->write_memory.MakeAllocator<int>(),
                                           [this, c](const asio::error_code &ec, std::size_t) {
                                             OnWritten(c, ec);
                                           }));
  }

  void Drain() {
    wake_pending_.store(false, std::memory_order_release);
    uint64_t oldest_needed = UINT64_MAX;
    for (auto &c : connections_) {
      if (!c->streaming) continue;
      SendMore(c);
      oldest_needed = std::min(oldest_needed, c->cursor);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ring_.ReleaseBefore(std::min(oldest_needed, ring_.Head()));
  }

  void Close(const ConnectionPtr &c) {
    if (!c->open) return;
    c->open = false;
    if (c->pending_request) {
      c->pending_request = false;
      --pending_requests_;
    }
    if (c->streaming) {
      c->streaming = false;
      std::lock_guard<std::mutex> lock(mutex_);
      --consumers_;
      consumer_count_.store(consumers_);
    }
    asio::error_code ignored;
    c->deadline.cancel();
    c->socket.close(ignored);
    connections_.remove(c);
  }

  void CloseAll() {
    asio::error_code ignored;
    for (auto &a : acceptors_) a->close(ignored);
    for (auto &u : udp_) u->socket.close(ignored);
    auto all = connections_;
    for (auto &c : all) {
      c->socket.shutdown(tcp::socket::shutdown_both, ignored);
      Close(c);
    }
  }

  core::Config config_;
  core::StreamInfo info_;
  std::string short_xml_;
  std::string full_xml_;
  std::string ok_reply_;
  pugi::xml_document query_doc_;

  // Shared between pushing threads and the I/O thread.
  std::mutex mutex_;
  std::condition_variable consumers_changed_;
  core::SampleRing ring_;
  std::string scratch_;
  int consumers_ = 0;
  std::atomic<int> consumer_count_{0};
  std::atomic<bool> wake_pending_{false};
  HandlerMemory wake_memory_;

  // I/O thread only.
  asio::io_context io_{1};
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors_;
  std::vector<std::unique_ptr<UdpSocket>> udp_;
  std::list<ConnectionPtr> connections_;
  std::size_t pending_requests_ = 0;
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
void Outlet::Push(const char *const *channels, double timestamp) {
  impl_->Push(channels, timestamp);
}
bool Outlet::HaveConsumers() const {
  return impl_->HaveConsumers();
}
bool Outlet::WaitForConsumers(double timeout) {
  return impl_->WaitForConsumers(timeout);
}

}  // namespace lsl::net
