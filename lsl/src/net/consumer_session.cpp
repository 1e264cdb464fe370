#include "net/consumer_session.h"

#include "core/protocol/constants.h"
#include "core/query.h"
#include "net/platform.h"

#include <asio/bind_allocator.hpp>
#include <asio/write.hpp>

#include <algorithm>

namespace lsl::net {

using asio::ip::tcp;

ConsumerSession::ConsumerSession(tcp::socket socket, const Published &published, SampleFeed &feed,
                                 double request_timeout, Hooks hooks)
    : socket_(std::move(socket)),
      deadline_(socket_.get_executor()),
      published_(published),
      feed_(feed),
      request_timeout_(request_timeout),
      hooks_(std::move(hooks)),
      reader_(published.info.uid) {}

void ConsumerSession::Start() {
  KeepFromChildProcesses(socket_.native_handle());
  asio::error_code ec;
  socket_.set_option(tcp::no_delay(true), ec);
  ArmDeadline();
  ReadRequest();
}

// A peer gets this long to send its request, and again to take an answer
// that closes the connection.
void ConsumerSession::ArmDeadline() {
  deadline_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(request_timeout_)));
  deadline_.async_wait([weak = weak_from_this()](const asio::error_code &ec) {
    auto self = weak.lock();
    if (!ec && self) self->Close();
  });
}

void ConsumerSession::ReadRequest() {
  socket_.async_read_some(
      asio::buffer(in_),
      asio::bind_allocator(read_memory_.MakeAllocator<int>(),
                           [self = shared_from_this()](const asio::error_code &ec, std::size_t n) {
                             if (!self->open_) return;
                             if (ec) return self->Close();
                             self->reader_.Feed(self->in_.data(), n);
                             if (self->reader_.Result().kind == core::TcpRequest::Kind::kIncomplete)
                               return self->ReadRequest();
                             self->OnRequest();
                           }));
}

void ConsumerSession::OnRequest() {
  using Kind = core::TcpRequest::Kind;
  const auto &request = reader_.Result();
  deadline_.cancel();
  switch (request.kind) {
    case Kind::kFullinfo:
      return AnswerAndClose(published_.full_xml);
    case Kind::kShortinfo:
      if (core::Query::Compile(request.query).Matches(published_.query_doc.child("info")))
        return AnswerAndClose(published_.short_xml);
      return Close();
    case Kind::kNotFound:
      return AnswerAndClose(core::kNotFoundReply);
    case Kind::kVersionNotSupported:
      return AnswerAndClose(core::kVersionNotSupportedReply);
    case Kind::kStreamfeed:
      if (request.max_buffer_length <= 0) return AnswerAndClose(published_.ok_reply);
      if (!hooks_.admit_stream(*this)) return Close();
      return StartStreaming(static_cast<uint64_t>(request.max_buffer_length));
    case Kind::kIncomplete:
    case Kind::kClose:
      return Close();
  }
}

// A peer that stops reading loses its connection when the deadline passes.
void ConsumerSession::AnswerAndClose(std::string_view text) {
  out_.assign(text.data(), text.size());
  writing_ = true;
  ArmDeadline();
  asio::async_write(socket_, asio::buffer(out_),
                    [self = shared_from_this()](const asio::error_code &, std::size_t) {
                      self->writing_ = false;
                      asio::error_code ignored;
                      self->socket_.shutdown(tcp::socket::shutdown_both, ignored);
                      self->Close();
                    });
}

void ConsumerSession::StartStreaming(uint64_t max_buffer_length) {
  {
    std::lock_guard<std::mutex> lock(feed_.mutex);
    // From here on every push reaches this consumer.
    cursor_ = feed_.ring.Head();
    limit_ = std::min<uint64_t>(max_buffer_length, feed_.ring.Capacity());
    streaming_ = true;
    ++feed_.consumers;
    feed_.consumer_count.store(feed_.consumers);
  }
  feed_.consumers_changed.notify_all();
  out_.reserve(std::max(kSendBatchBytes, published_.ok_reply.size()));
  out_ = published_.ok_reply;
  Write();
  DiscardInput();
}

// Bytes a consumer sends after its request mean nothing; reading them
// notices when it goes away.
void ConsumerSession::DiscardInput() {
  socket_.async_read_some(
      asio::buffer(in_),
      asio::bind_allocator(read_memory_.MakeAllocator<int>(),
                           [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                             if (!self->open_) return;
                             if (ec) return self->Close();
                             self->DiscardInput();
                           }));
}

void ConsumerSession::Write() {
  writing_ = true;
  write_started_ = std::chrono::steady_clock::now();
  asio::async_write(
      socket_, asio::buffer(out_),
      asio::bind_allocator(write_memory_.MakeAllocator<int>(),
                           [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                             self->writing_ = false;
                             self->write_started_ = std::chrono::steady_clock::time_point::max();
                             if (!self->open_) return;
                             if (ec) return self->Close();
                             self->SendMore();
                           }));
}

void ConsumerSession::SendMore() {
  if (writing_ || !open_ || !streaming_) return;
  out_.clear();
  {
    std::lock_guard<std::mutex> lock(feed_.mutex);
    const auto head = feed_.ring.Head();
    // A consumer further behind than its buffer loses the oldest.
    if (head - cursor_ > limit_) cursor_ = head - limit_;
    cursor_ = feed_.ring.CopyOut(cursor_, out_, kSendBatchBytes);
  }
  if (!out_.empty()) Write();
}

void ConsumerSession::Close() {
  if (!open_) return;
  open_ = false;
  if (streaming_) {
    streaming_ = false;
    std::lock_guard<std::mutex> lock(feed_.mutex);
    --feed_.consumers;
    feed_.consumer_count.store(feed_.consumers);
  }
  asio::error_code ignored;
  deadline_.cancel();
  socket_.close(ignored);
  hooks_.closed(*this);
}

}  // namespace lsl::net
