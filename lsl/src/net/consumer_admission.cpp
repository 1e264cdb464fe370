#include "net/consumer_admission.h"

#include "net/platform.h"

#include <algorithm>
#include <optional>

namespace maroquint::lsl::net {

static_assert(core::AdmissionPolicy::kNever == DeadlineTimer::kNever);

ConsumerAdmission::ConsumerAdmission(asio::io_context &io, core::AdmissionLimits limits,
                                     const Published &published, SampleFeed &feed)
    : policy_(limits), published_(published), feed_(feed), timer_(io) {}

void ConsumerAdmission::Accepted(asio::ip::tcp::socket socket) {
  drop_.clear();
  const Id id = policy_.Connected(LocalClock(), drop_);
  for (const Id old : drop_) Close(old);
  auto session = std::make_shared<ConsumerSession>(id, std::move(socket), published_, feed_, *this);
  sessions_.emplace(id, session);
  session->Start();
  Arm();
}

void ConsumerAdmission::AcceptFailed() {
  if (const auto oldest = policy_.AcceptFailed()) Close(*oldest);
  Arm();
}

uint64_t ConsumerAdmission::SendMore() {
  uint64_t oldest_needed = UINT64_MAX;
  for (auto &entry : sessions_) {
    ConsumerSession &s = *entry.second;
    if (!s.Streaming()) continue;
    s.SendMore();
    oldest_needed = std::min(oldest_needed, s.Cursor());
  }
  return oldest_needed;
}

void ConsumerAdmission::CloseAll() {
  timer_.Cancel();
  auto all = sessions_;
  for (auto &entry : all) entry.second->Close();
}

void ConsumerAdmission::RequestRead(Id id) {
  policy_.RequestRead(id);
}

void ConsumerAdmission::Answering(Id id) {
  policy_.Answering(id, LocalClock());
  Arm();
}

bool ConsumerAdmission::AdmitStream(Id id) {
  std::optional<Id> victim;
  const bool admitted = policy_.StreamRequested(id, victim);
  if (victim) Close(*victim);
  return admitted;
}

void ConsumerAdmission::WriteStarted(Id id) {
  policy_.WriteStarted(id, LocalClock());
}

void ConsumerAdmission::WriteEnded(Id id) {
  policy_.WriteEnded(id);
}

void ConsumerAdmission::Closed(Id id) {
  policy_.Closed(id);
  sessions_.erase(id);
}

void ConsumerAdmission::Close(Id id) {
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return;
  // Alive while it closes: Closed() drops it from the map.
  const std::shared_ptr<ConsumerSession> session = it->second;
  session->Close();
}

void ConsumerAdmission::Arm() {
  timer_.Set(policy_.NextDeadline(), [this] {
    for (const Id id : policy_.TakeExpired(LocalClock())) Close(id);
    Arm();
  });
}

}  // namespace maroquint::lsl::net
