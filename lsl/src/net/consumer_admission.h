// Carries out an outlet's core::AdmissionPolicy: the consumer sessions by
// id, closed when the policy says so, and one timer for the policy's next
// deadline. I/O thread only.
#pragma once

#include "core/admission_policy.h"
#include "net/consumer_session.h"
#include "net/outlet_state.h"
#include "net/timer.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace maroquint::lsl::net {

class ConsumerAdmission final : public ConsumerSession::Owner {
 public:
  using Id = ConsumerSession::Id;

  ConsumerAdmission(asio::io_context &io, core::AdmissionLimits limits, const Published &published,
                    SampleFeed &feed);

  void Accepted(asio::ip::tcp::socket socket);
  // Accepting failed (out of descriptors, typically).
  void AcceptFailed();
  // Writes to every consumer what it has not had yet, and returns the
  // oldest sample any of them still needs (UINT64_MAX: none).
  uint64_t SendMore();
  void CloseAll();

  void RequestRead(Id id) override;
  void Answering(Id id) override;
  bool AdmitStream(Id id) override;
  void WriteStarted(Id id) override;
  void WriteEnded(Id id) override;
  void Closed(Id id) override;

 private:
  void Close(Id id);
  void Arm();

  core::AdmissionPolicy policy_;
  const Published &published_;
  SampleFeed &feed_;
  DeadlineTimer timer_;
  std::unordered_map<Id, std::shared_ptr<ConsumerSession>> sessions_;
  std::vector<Id> drop_;
};

}  // namespace maroquint::lsl::net
