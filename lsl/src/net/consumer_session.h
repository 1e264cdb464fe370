// One TCP connection to an outlet: reads the request under a deadline,
// answers an info request or a refusal and closes, or streams samples from
// the outlet's shared feed, each consumer with its own bounded backlog.
#ifndef LSL_NET_CONSUMER_SESSION_H
#define LSL_NET_CONSUMER_SESSION_H

#include "core/protocol/request.h"
#include "net/handler_memory.h"
#include "net/outlet_state.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace lsl::net {

class ConsumerSession : public std::enable_shared_from_this<ConsumerSession> {
 public:
  // Bytes one write to a consumer carries at most (plus one sample).
  static constexpr std::size_t kSendBatchBytes = 16 * 1024;

  struct Hooks {
    // The request asks for samples; false refuses the consumer.
    std::function<bool(ConsumerSession &)> admit_stream;
    std::function<void(ConsumerSession &)> closed;
  };

  ConsumerSession(asio::ip::tcp::socket socket, const Published &published, SampleFeed &feed,
                  double request_timeout, Hooks hooks);

  void Start();
  void Close();
  // Writes what the feed holds for this consumer, unless a write is under way.
  void SendMore();

  bool Streaming() const { return streaming_; }
  uint64_t Cursor() const { return cursor_; }
  // When the write under way began; time_point::max() when none is.
  std::chrono::steady_clock::time_point WriteStarted() const { return write_started_; }

 private:
  void ArmDeadline();
  void ReadRequest();
  void OnRequest();
  void AnswerAndClose(std::string_view text);
  void StartStreaming(uint64_t max_buffer_length);
  void DiscardInput();
  void Write();

  asio::ip::tcp::socket socket_;
  asio::steady_timer deadline_;
  const Published &published_;
  SampleFeed &feed_;
  const double request_timeout_;
  Hooks hooks_;
  core::TcpRequestReader reader_;
  std::array<char, 4096> in_{};
  std::string out_;
  HandlerMemory read_memory_;
  HandlerMemory write_memory_;
  bool open_ = true;
  bool streaming_ = false;
  bool writing_ = false;
  std::chrono::steady_clock::time_point write_started_ =
      std::chrono::steady_clock::time_point::max();
  uint64_t cursor_ = 0;
  uint64_t limit_ = 0;
};

}  // namespace lsl::net

#endif
