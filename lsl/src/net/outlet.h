// A live outlet: discovery responders, the service socket and the data
// listener, all served by one I/O thread of the outlet's own.
#ifndef LSL_NET_OUTLET_H
#define LSL_NET_OUTLET_H

#include "core/config.h"
#include "core/stream_info.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace lsl::net {

class Outlet {
 public:
  // Limits on what untrusted peers can hold.
  static constexpr std::size_t kMaxConnections = 256;
  static constexpr std::size_t kMaxPendingRequests = 64;
  static constexpr double kRequestTimeoutSeconds = 10.0;

  // Takes the caller's declaration (format must be string); gives it a new
  // uid, created_at, session id, host name and the ports bound. Throws
  // std::exception when no socket can be set up.
  Outlet(core::StreamInfo info, int32_t max_buffered, const core::Config &config);
  ~Outlet();
  Outlet(const Outlet &) = delete;
  Outlet &operator=(const Outlet &) = delete;

  const core::StreamInfo &Info() const;
  // Samples a consumer may have waiting before the oldest are dropped.
  std::size_t BufferSamples() const;

  // One sample of channel_count() strings; timestamp 0.0 = now. Never
  // waits for a consumer.
  void Push(const char *const *channels, double timestamp);
  bool HaveConsumers() const;
  bool WaitForConsumers(double timeout_seconds);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lsl::net

#endif
