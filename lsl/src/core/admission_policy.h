// Which connections an outlet keeps, driven by explicit time and events: no
// peer can lock consumers out. A new connection is always taken (the
// request unfinished longest makes room past kMaxPending); a request must
// arrive, and an answer that closes the connection be taken, within the
// request timeout; past kMaxStreaming consumers the one whose write has
// been stuck longest makes room for a new one, which is refused only when
// every consumer reads. The caller closes what it is told to and reports
// what happens on each connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace maroquint::lsl::core {

struct AdmissionLimits {
  std::size_t max_pending = 64;
  std::size_t max_streaming = 1024;
  double request_timeout = 10.0;
};

class AdmissionPolicy {
 public:
  using Id = uint64_t;
  static constexpr double kNever = std::numeric_limits<double>::infinity();

  explicit AdmissionPolicy(AdmissionLimits limits);

  // A connection was accepted: its id. `drop` gets the connections to close
  // for it (already forgotten here).
  Id Connected(double now, std::vector<Id> &drop);
  // Accepting failed (out of descriptors): the connection to close, if any.
  std::optional<Id> AcceptFailed();
  // The request is in: its time limit ends.
  void RequestRead(Id id);
  // An answer that closes the connection is being written.
  void Answering(Id id, double now);
  // The request asks for samples: whether it streams. `drop` gets the
  // consumer that makes room for it, if any.
  bool StreamRequested(Id id, std::optional<Id> &drop);
  // A write to a consumer began or ended.
  void WriteStarted(Id id, double now);
  void WriteEnded(Id id);
  // The connection closed, for whatever reason; unknown ids are ignored.
  void Closed(Id id);

  // Connections whose time ran out by `now`, forgotten here.
  std::vector<Id> TakeExpired(double now);
  // When the next time limit runs out (kNever: none).
  double NextDeadline() const;

  std::size_t Pending() const { return pending_.size(); }
  std::size_t Streaming() const { return streaming_.size(); }

 private:
  void SetDeadline(Id id, double &deadline, double at);
  void Forget(Id id);
  std::optional<Id> OldestPending() const;

  AdmissionLimits limits_;
  Id last_id_ = 0;
  // Connections reading their request or taking an answer, oldest first,
  // with their deadline (kNever while none runs).
  std::map<Id, double> pending_;
  // Consumers, with the start of the write under way (kNever: none).
  std::map<Id, double> streaming_;
  std::set<std::pair<double, Id>> deadlines_;
};

}  // namespace maroquint::lsl::core
