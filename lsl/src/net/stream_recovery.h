// Carries out an inlet's core::RecoveryPolicy: one timer for the policy's
// next wake-up and the resolves it asks for, on the inlet's I/O thread.
#pragma once

#include "core/config.h"
#include "core/recovery_policy.h"
#include "core/stream_info.h"
#include "net/timer.h"

#include <asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace maroquint::lsl::net {

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

  // I/O thread only; see core::RecoveryPolicy.
  void Follow(const core::StreamInfo &stream);
  void Activity();
  void Recover();
  void Stop();

 private:
  void Poll();
  void Arm();
  // A resolve under way, and the id the policy gave it.
  struct Running {
    uint64_t id = 0;
    std::shared_ptr<ResolveOperation> operation;
  };
  void Start(const core::Lookup &lookup);
  void Done(Running &running, uint64_t id, const std::vector<core::StreamInfo> &found);
  static void Cancel(Running &running);

  const core::Config &config_;
  Hooks hooks_;
  asio::io_context &io_;
  core::RecoveryPolicy policy_;
  DeadlineTimer timer_;
  Running recovery_;
  Running probe_;
};

}  // namespace maroquint::lsl::net
