#include "core/admission_policy.h"

#include <algorithm>

namespace maroquint::lsl::core {

AdmissionPolicy::AdmissionPolicy(AdmissionLimits limits) : limits_(limits) {}

void AdmissionPolicy::SetDeadline(Id id, double &deadline, double at) {
  if (deadline != kNever) deadlines_.erase({deadline, id});
  deadline = at;
  if (deadline != kNever) deadlines_.emplace(deadline, id);
}

std::optional<AdmissionPolicy::Id> AdmissionPolicy::OldestPending() const {
  if (pending_.empty()) return std::nullopt;
  return pending_.begin()->first;
}

AdmissionPolicy::Id AdmissionPolicy::Connected(double now, std::vector<Id> &drop) {
  while (pending_.size() >= std::max<std::size_t>(limits_.max_pending, 1)) {
    const Id oldest = *OldestPending();
    Forget(oldest);
    drop.push_back(oldest);
  }
  const Id id = ++last_id_;
  double &deadline = pending_.emplace(id, kNever).first->second;
  SetDeadline(id, deadline, now + limits_.request_timeout);
  return id;
}

std::optional<AdmissionPolicy::Id> AdmissionPolicy::AcceptFailed() {
  const auto oldest = OldestPending();
  if (oldest) Forget(*oldest);
  return oldest;
}

void AdmissionPolicy::RequestRead(Id id) {
  auto it = pending_.find(id);
  if (it != pending_.end()) SetDeadline(id, it->second, kNever);
}

void AdmissionPolicy::Answering(Id id, double now) {
  auto it = pending_.find(id);
  if (it != pending_.end()) SetDeadline(id, it->second, now + limits_.request_timeout);
}

bool AdmissionPolicy::StreamRequested(Id id, std::optional<Id> &drop) {
  auto it = pending_.find(id);
  if (it == pending_.end()) return false;
  if (streaming_.size() >= limits_.max_streaming) {
    if (streaming_.empty()) return false;
    auto stuck = std::min_element(streaming_.begin(), streaming_.end(),
                                  [](const auto &a, const auto &b) { return a.second < b.second; });
    if (stuck->second == kNever) return false;
    drop = stuck->first;
    streaming_.erase(stuck);
  }
  SetDeadline(id, it->second, kNever);
  pending_.erase(it);
  streaming_.emplace(id, kNever);
  return true;
}

void AdmissionPolicy::WriteStarted(Id id, double now) {
  auto it = streaming_.find(id);
  if (it != streaming_.end()) it->second = now;
}

void AdmissionPolicy::WriteEnded(Id id) {
  auto it = streaming_.find(id);
  if (it != streaming_.end()) it->second = kNever;
}

void AdmissionPolicy::Closed(Id id) {
  Forget(id);
}

void AdmissionPolicy::Forget(Id id) {
  auto it = pending_.find(id);
  if (it != pending_.end()) {
    SetDeadline(id, it->second, kNever);
    pending_.erase(it);
    return;
  }
  streaming_.erase(id);
}

std::vector<AdmissionPolicy::Id> AdmissionPolicy::TakeExpired(double now) {
  std::vector<Id> expired;
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    const Id id = deadlines_.begin()->second;
    Forget(id);
    expired.push_back(id);
  }
  return expired;
}

double AdmissionPolicy::NextDeadline() const {
  return deadlines_.empty() ? kNever : deadlines_.begin()->first;
}

}  // namespace maroquint::lsl::core
