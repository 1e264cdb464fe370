#include "net/stream_recovery.h"

#include "net/platform.h"
#include "net/resolver.h"

namespace maroquint::lsl::net {

static_assert(core::RecoveryPolicy::kForever == DeadlineTimer::kNever);

StreamRecovery::StreamRecovery(asio::io_context &io, const core::Config &config, Hooks hooks)
    : config_(config),
      hooks_(std::move(hooks)),
      io_(io),
      policy_(core::RecoverySettingsFor(config)),
      timer_(io) {}

void StreamRecovery::Follow(const core::StreamInfo &stream) {
  policy_.Follow(stream, LocalClock());
  Arm();
}

void StreamRecovery::Activity() {
  policy_.Activity(LocalClock());
}

void StreamRecovery::Recover() {
  policy_.ConnectionLost(LocalClock());
  Arm();
}

void StreamRecovery::Stop() {
  policy_.Stop();
  Cancel(recovery_);
  Cancel(probe_);
  Arm();
}

void StreamRecovery::Poll() {
  const double now = LocalClock();
  while (auto lookup = policy_.TakeDueLookup(now, hooks_.connected())) Start(*lookup);
  Arm();
}

void StreamRecovery::Arm() {
  timer_.Set(policy_.NextWakeup(), [this] { Poll(); });
}

void StreamRecovery::Cancel(Running &running) {
  if (running.operation) running.operation->Cancel();
  running = Running{};
}

void StreamRecovery::Start(const core::Lookup &lookup) {
  Running &running = lookup.kind == core::Lookup::Kind::kRecovery ? recovery_ : probe_;
  Cancel(running);
  const uint64_t id = lookup.id;
  running.id = id;
  running.operation = std::make_shared<ResolveOperation>(
      io_, config_, lookup.query, lookup.minimum, lookup.timeout, 0.0,
      [this, &running, id](std::vector<core::StreamInfo> found) { Done(running, id, found); });
  running.operation->Start();
}

// What Stop() ended may still call back (a resolve that finished before
// its cancellation ran); the policy ignores its id.
void StreamRecovery::Done(Running &running, uint64_t id,
                          const std::vector<core::StreamInfo> &found) {
  if (running.id == id) running = Running{};
  auto next = policy_.OnLookupDone(id, found, hooks_.connected(), LocalClock());
  Arm();
  if (next) hooks_.found(std::move(*next));
}

}  // namespace maroquint::lsl::net
