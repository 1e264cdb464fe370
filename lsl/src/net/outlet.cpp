#include "net/outlet.h"

#include "core/protocol/sample.h"
#include "core/protocol/streamfeed.h"
#include "core/uuid.h"
#include "net/consumer_admission.h"
#include "net/handler_memory.h"
#include "net/listener.h"
#include "net/log.h"
#include "net/outlet_sockets.h"
#include "net/outlet_state.h"
#include "net/platform.h"
#include "net/udp_responder.h"

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace maroquint::lsl::net {
namespace {

using asio::ip::tcp;

std::size_t ConsumerBuffer(const core::StreamInfo &info, int32_t max_buffered) {
  const double samples =
      info.nominal_srate > 0.0 ? max_buffered * info.nominal_srate : max_buffered * 100.0;
  if (!(samples >= 1.0)) return 1;
  return static_cast<std::size_t>(
      std::min(samples, static_cast<double>(core::SampleRing::kMaxCapacity)));
}

core::AdmissionLimits LimitsFor(const core::Config &config) {
  core::AdmissionLimits limits;
  limits.max_pending = Outlet::kMaxPendingRequests;
  limits.max_streaming = Outlet::kMaxStreamingConsumers;
  limits.request_timeout = config.request_timeout;
  return limits;
}

}  // namespace

class Outlet::Impl {
 public:
  Impl(core::StreamInfo info, int32_t max_buffered, const core::Config &config)
      : config_(config),
        feed_(ConsumerBuffer(info, max_buffered), Outlet::kMaxBufferedBytes),
        admission_(io_, LimitsFor(config_), published_, feed_) {
    auto &declared = published_.info;
    declared = std::move(info);
    declared.uid = core::UuidV4(RandomBytes16());
    declared.created_at = LocalClock();
    declared.session_id = config_.session_id;
    declared.hostname = HostName();
    declared.version = core::kProtocolVersion;
  }

  ~Impl() {
    if (!thread_.joinable()) return;
    asio::post(io_, [this] {
      CloseAll();
      io_.stop();
    });
    thread_.join();
  }

  maroquint::base::Status<OutletError> Start() {
    auto sockets = OpenOutletSockets(io_, config_);
    if (!sockets) return sockets.Err();
    Serve(std::move(*sockets));
    auto &declared = published_.info;
    published_.short_xml = core::ToShortXml(declared);
    published_.full_xml = core::ToFullXml(declared);
    core::BuildXmlDocument(declared, published_.query_doc, true);
    published_.ok_reply =
        core::StreamfeedOkReply(declared.uid, static_cast<std::size_t>(declared.channel_count));
    for (auto &l : listeners_) l->Start();
    for (auto &u : responders_) u->Start();
    thread_ = std::thread([this] { Run(); });
    return {};
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
  void Run() {
    YieldOnWakeup();
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception &e) {
        // A handler failed (out of memory); the outlet carries on with the next one.
        LogWarning(std::string("outlet: ") + e.what());
      }
    }
  }

  void Serve(OutletSockets sockets) {
    auto &declared = published_.info;
    declared.v4service_port = BoundPort(sockets.v4_service);
    responders_.push_back(
        std::make_unique<UdpResponder>(std::move(sockets.v4_service), true, published_));
    if (sockets.v6_service) {
      declared.v6service_port = BoundPort(*sockets.v6_service);
      responders_.push_back(
          std::make_unique<UdpResponder>(std::move(*sockets.v6_service), true, published_));
    }
    for (auto &socket : sockets.discovery)
      responders_.push_back(std::make_unique<UdpResponder>(std::move(socket), false, published_));
    declared.v4data_port = BoundPort(sockets.v4_data);
    listeners_.push_back(MakeListener(std::move(sockets.v4_data)));
    if (sockets.v6_data) {
      declared.v6data_port = BoundPort(*sockets.v6_data);
      listeners_.push_back(MakeListener(std::move(*sockets.v6_data)));
    }
  }

  std::unique_ptr<Listener> MakeListener(tcp::acceptor acceptor) {
    return std::make_unique<Listener>(
        std::move(acceptor), [this](tcp::socket socket) { admission_.Accepted(std::move(socket)); },
        [this] { admission_.AcceptFailed(); });
  }

  void Drain() {
    wake_pending_.store(false, std::memory_order_release);
    const uint64_t oldest_needed = admission_.SendMore();
    std::lock_guard<std::mutex> lock(feed_.mutex);
    feed_.ring.ReleaseBefore(std::min(oldest_needed, feed_.ring.Head()));
  }

  void CloseAll() {
    for (auto &l : listeners_) l->Close();
    for (auto &u : responders_) u->Close();
    admission_.CloseAll();
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
  ConsumerAdmission admission_;
  std::thread thread_;
};

maroquint::base::Result<std::unique_ptr<Outlet>, OutletError> Outlet::Create(
    core::StreamInfo info, int32_t max_buffered, const core::Config &config) {
  // An I/O context and a thread are what the system may refuse; that is
  // reported here like any other error.
  try {
    auto impl = std::make_unique<Impl>(std::move(info), max_buffered, config);
    if (auto started = impl->Start(); !started) return started.Err();
    return std::unique_ptr<Outlet>(new Outlet(std::move(impl)));
  } catch (const std::system_error &e) {
    return maroquint::base::Fail(OutletError::kOutOfResources, e.what());
  }
}

Outlet::Outlet(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
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

}  // namespace maroquint::lsl::net
