// A live outlet: its UDP responders (service and discovery sockets, opened
// by outlet_sockets), its listeners on the data ports and one session per
// consumer connection admitted by core::AdmissionPolicy, all served by one
// I/O thread of the outlet's own.
#pragma once

#include "base/result.h"
#include "core/config.h"
#include "core/stream_info.h"
#include "net/outlet_sockets.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace maroquint::lsl::net {

class Outlet {
 public:
  // Limits on what untrusted peers can hold. Past the first, the request
  // that has been unfinished longest is dropped for a new connection; past
  // the second, the consumer whose write has been stuck longest makes room
  // for a new one (or the new one is refused when every consumer reads).
  static constexpr std::size_t kMaxPendingRequests = 64;
  static constexpr std::size_t kMaxStreamingConsumers = 1024;
  // All the samples waiting for consumers together, encoded.
  static constexpr std::size_t kMaxBufferedBytes = std::size_t{64} << 20;

  // Takes the caller's declaration (format must be string); gives it a new
  // uid, created_at, session id, host name and the ports bound. An error
  // when no IPv4 socket can be set up; a socket that cannot be bound
  // otherwise is a warning.
  static maroquint::base::Result<std::unique_ptr<Outlet>, OutletError> Create(
      core::StreamInfo info, int32_t max_buffered, const core::Config &config);
  ~Outlet();
  Outlet(const Outlet &) = delete;
  Outlet &operator=(const Outlet &) = delete;

  const core::StreamInfo &Info() const;
  // Samples a consumer may have waiting before the oldest are dropped.
  std::size_t BufferSamples() const;

  // One sample of channel_count() strings; timestamp 0.0 = now. Never
  // waits for a consumer. False when the sample is too large to be kept.
  bool Push(const char *const *channels, double timestamp);
  bool HaveConsumers() const;
  bool WaitForConsumers(double timeout_seconds);

 private:
  class Impl;
  explicit Outlet(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace maroquint::lsl::net
