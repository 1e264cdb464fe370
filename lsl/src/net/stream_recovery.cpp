#include "net/stream_recovery.h"

#include "core/query.h"
#include "net/platform.h"
#include "net/resolver.h"

#include <algorithm>
#include <chrono>

namespace lsl::net {
namespace {

// Pause before looking again after a broken connection or a failed resolve.
constexpr double kRetryDelay = 0.5;
// A recovery resolve keeps looking until it finds the stream.
constexpr double kRecoveryResolveTimeout = 32000000.0;

std::chrono::steady_clock::duration Seconds(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(s > 0.0 ? s : 0.0));
}

}  // namespace

StreamRecovery::StreamRecovery(asio::io_context &io, const core::Config &config, Hooks hooks)
    : config_(config), hooks_(std::move(hooks)), io_(io), retry_timer_(io), watchdog_timer_(io) {}

void StreamRecovery::Follow(const core::StreamInfo &stream) {
  followed_ = stream;
  last_activity_ = LocalClock();
  if (!watching_) {
    watching_ = true;
    ScheduleWatchdog();
  }
}

void StreamRecovery::Activity() {
  last_activity_ = LocalClock();
}

void StreamRecovery::Stop() {
  ++epoch_;
  retry_timer_.cancel();
  if (resolve_) resolve_->Cancel();
  resolve_.reset();
  if (probe_) probe_->Cancel();
  probe_.reset();
}

void StreamRecovery::Recover() {
  const uint64_t epoch = epoch_;
  retry_timer_.expires_after(Seconds(kRetryDelay));
  retry_timer_.async_wait([this, epoch](const asio::error_code &ec) {
    if (!ec && epoch == epoch_) Resolve();
  });
}

void StreamRecovery::Resolve() {
  const uint64_t epoch = epoch_;
  resolve_ = std::make_shared<ResolveOperation>(io_, config_, core::BuildRecoveryQuery(followed_),
                                                1, kRecoveryResolveTimeout, 0.0,
                                                [this, epoch](std::vector<core::StreamInfo> found) {
                                                  if (epoch != epoch_) return;
                                                  resolve_.reset();
                                                  Resolved(found);
                                                });
  resolve_->Start();
}

void StreamRecovery::Resolved(const std::vector<core::StreamInfo> &found) {
  const core::StreamInfo *next = nullptr;
  for (const core::StreamInfo &info : found) {
    if (info.uid == followed_.uid) next = &info;
  }
  // Exactly one other stream of the same source: the outlet was restarted.
  if (next == nullptr && found.size() == 1) next = &found.front();
  if (next == nullptr) {
    Recover();
    return;
  }
  hooks_.found(*next);
}

void StreamRecovery::ScheduleWatchdog() {
  watchdog_timer_.expires_after(Seconds(std::max(0.05, config_.watchdog_check_interval)));
  watchdog_timer_.async_wait([this](const asio::error_code &ec) {
    if (ec) return;
    WatchdogCheck();
    ScheduleWatchdog();
  });
}

void StreamRecovery::WatchdogCheck() {
  if (!hooks_.connected() || resolve_ || probe_) return;
  if (LocalClock() - last_activity_ < config_.watchdog_time_threshold) return;
  const uint64_t epoch = epoch_;
  // Two query waves' worth of listening.
  probe_ = std::make_shared<ResolveOperation>(io_, config_, core::BuildRecoveryQuery(followed_), 0,
                                              2 * config_.multicast_min_rtt, 0.0,
                                              [this, epoch](std::vector<core::StreamInfo> found) {
                                                if (epoch != epoch_) return;
                                                probe_.reset();
                                                ++probes_done_;
                                                Probed(found);
                                              });
  probe_->Start();
}

void StreamRecovery::Probed(const std::vector<core::StreamInfo> &found) {
  if (!hooks_.connected() || found.size() != 1 || found.front().uid == followed_.uid) return;
  // The stream is silent, does not answer, and a single stream of the same
  // source does: the outlet was replaced without closing our connection.
  hooks_.found(found.front());
}

}  // namespace lsl::net
