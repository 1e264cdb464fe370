// An inlet's way back to its stream: after the data connection broke, a
// pause and then a resolve by source id until the stream, or a single new
// instance of its source, answers; and a watchdog for a connection that
// stays silent, which now and then asks whether the stream still answers
// (when only a new instance of its source does, the outlet was replaced
// without closing the connection). Its own timers and resolves, on the
// inlet's I/O thread.
#ifndef LSL_NET_STREAM_RECOVERY_H
#define LSL_NET_STREAM_RECOVERY_H

#include "core/config.h"
#include "core/stream_info.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace lsl::net {

class ResolveOperation;

class StreamRecovery {
 public:
  struct Hooks {
    // Whether the data connection is up now.
    std::function<bool()> connected;
    // The stream to connect to from now on (maybe a new instance).
    std::function<void(core::StreamInfo)> found;
  };

  StreamRecovery(asio::io_context &io, const core::Config &config, Hooks hooks);

  // I/O thread only.
  // The stream the inlet connects to now; the first call starts the watchdog.
  void Follow(const core::StreamInfo &stream);
  // Data or a keep-alive came in.
  void Activity();
  // The connection broke: after a pause, looks for the stream until it is
  // found or Stop().
  void Recover();
  // Ends a recovery or a watchdog probe under way (the stream was closed).
  void Stop();

  // Any thread: how many times the watchdog has asked a silent stream
  // whether it is still there and heard back (or not).
  uint64_t ProbesDone() const { return probes_done_; }

 private:
  void Resolve();
  void Resolved(const std::vector<core::StreamInfo> &found);
  void ScheduleWatchdog();
  void WatchdogCheck();
  void Probed(const std::vector<core::StreamInfo> &found);

  const core::Config &config_;
  Hooks hooks_;
  asio::io_context &io_;
  core::StreamInfo followed_;
  asio::steady_timer retry_timer_;
  asio::steady_timer watchdog_timer_;
  std::shared_ptr<ResolveOperation> resolve_;
  std::shared_ptr<ResolveOperation> probe_;
  bool watching_ = false;
  double last_activity_ = 0.0;
  // What Stop() ended may still call back (a timer that had fired, a
  // resolve that finished before its cancellation ran); it then does nothing.
  uint64_t epoch_ = 0;
  std::atomic<uint64_t> probes_done_{0};
};

}  // namespace lsl::net

#endif
