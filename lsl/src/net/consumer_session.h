// One TCP connection to an outlet: reads the request, answers an info
// request or a refusal and closes, or streams samples from the outlet's
// shared feed, each consumer with its own bounded backlog. Its owner decides
// admission and time limits (core::AdmissionPolicy) from what it reports.
#pragma once

#include "core/protocol/request.h"
#include "net/handler_memory.h"
#include "net/outlet_state.h"

#include <asio/ip/tcp.hpp>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace maroquint::lsl::net {

class ConsumerSession : public std::enable_shared_from_this<ConsumerSession> {
 public:
  // Bytes one write to a consumer carries at most (plus one sample).
  static constexpr std::size_t kSendBatchBytes = 16 * 1024;

  using Id = uint64_t;

  // What a session reports, on the I/O thread.
  class Owner {
   public:
    virtual void RequestRead(Id id) = 0;
    // An answer that closes the connection is being written.
    virtual void Answering(Id id) = 0;
    // The request asks for samples; false refuses the consumer.
    virtual bool AdmitStream(Id id) = 0;
    virtual void WriteStarted(Id id) = 0;
    virtual void WriteEnded(Id id) = 0;
    virtual void Closed(Id id) = 0;

   protected:
    ~Owner() = default;
  };

  ConsumerSession(Id id, asio::ip::tcp::socket socket, const Published &published, SampleFeed &feed,
                  Owner &owner);

  void Start();
  void Close();
  // Writes what the feed holds for this consumer, unless a write is under way.
  void SendMore();

  bool Streaming() const { return streaming_; }
  uint64_t Cursor() const { return cursor_; }

 private:
  void ReadRequest();
  void OnRequest();
  void AnswerAndClose(std::string_view text);
  void StartStreaming(uint64_t max_buffer_length);
  void DiscardInput();
  void Write();

  const Id id_;
  asio::ip::tcp::socket socket_;
  const Published &published_;
  SampleFeed &feed_;
  Owner &owner_;
  core::TcpRequestReader reader_;
  std::array<char, 4096> in_{};
  std::string out_;
  HandlerMemory read_memory_;
  HandlerMemory write_memory_;
  bool open_ = true;
  bool streaming_ = false;
  bool writing_ = false;
  uint64_t cursor_ = 0;
  uint64_t limit_ = 0;
};

}  // namespace maroquint::lsl::net
