#include "net/consumer_session.h"

#include "core/protocol/constants.h"
#include "core/query.h"
#include "net/platform.h"

#include <asio/bind_allocator.hpp>
#include <asio/write.hpp>

#include <algorithm>

namespace maroquint::lsl::net {

using asio::ip::tcp;

ConsumerSession::ConsumerSession(Id id, tcp::socket socket, const Published &published,
                                 SampleFeed &feed, Owner &owner)
    : id_(id),
      socket_(std::move(socket)),
      published_(published),
      feed_(feed),
      owner_(owner),
      reader_(published.info.uid) {}

void ConsumerSession::Start() {
  KeepFromChildProcesses(socket_.native_handle());
  asio::error_code ec;
  socket_.set_option(tcp::no_delay(true), ec);
  ReadRequest();
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
  owner_.RequestRead(id_);
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
      if (!owner_.AdmitStream(id_)) return Close();
      return StartStreaming(static_cast<uint64_t>(request.max_buffer_length));
    case Kind::kIncomplete:
    case Kind::kClose:
      return Close();
  }
}

void ConsumerSession::AnswerAndClose(std::string_view text) {
  out_.assign(text.data(), text.size());
  writing_ = true;
  owner_.Answering(id_);
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
  owner_.WriteStarted(id_);
  asio::async_write(
      socket_, asio::buffer(out_),
      asio::bind_allocator(write_memory_.MakeAllocator<int>(),
                           [self = shared_from_this()](const asio::error_code &ec, std::size_t) {
                             self->writing_ = false;
                             if (!self->open_) return;
                             self->owner_.WriteEnded(self->id_);
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
  socket_.close(ignored);
  owner_.Closed(id_);
}

}  // namespace maroquint::lsl::net
