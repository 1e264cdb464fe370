#include "net/data_feed.h"

#include "core/protocol/request.h"
#include "net/platform.h"

#include <asio/write.hpp>

#include <chrono>

namespace maroquint::lsl::net {

DataFeed::DataFeed(asio::io_context &io, const core::StreamInfo &target, int32_t max_buffer_length,
                   int32_t max_chunk_length, double handshake_timeout, Hooks hooks)
    : socket_(io),
      deadline_(io),
      target_(target),
      handshake_timeout_(handshake_timeout),
      hooks_(std::move(hooks)),
      parser_(target.uid) {
  core::FeedRequest request;
  request.uid = target.uid;
  request.hostname = target.hostname;
  request.source_id = target.source_id;
  request.session_id = target.session_id;
  request.max_buffer_length = max_buffer_length;
  request.max_chunk_length = max_chunk_length;
  request_ = core::FormatFeedRequest(request);
}

void DataFeed::Start() {
  asio::error_code ec;
  const auto address = asio::ip::make_address_v4(target_.v4address, ec);
  if (ec || target_.v4data_port == 0) return Fail();
  // An outlet that accepts the connection but never completes the
  // handshake must not hold the inlet forever.
  deadline_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(handshake_timeout_ > 0.0 ? handshake_timeout_ : 0.0)));
  deadline_.async_wait([self = shared_from_this()](const asio::error_code &wait_ec) {
    if (!wait_ec && !self->connected_) self->Fail();
  });
  socket_.async_connect({address, target_.v4data_port},
                        [self = shared_from_this()](const asio::error_code &connect_ec) {
                          if (self->closed_) return;
                          if (connect_ec) return self->Fail();
                          asio::error_code ignored;
                          KeepFromChildProcesses(self->socket_.native_handle());
                          self->socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
                          asio::async_write(self->socket_, asio::buffer(self->request_),
                                            [self](const asio::error_code &write_ec, std::size_t) {
                                              if (!self->closed_ && write_ec) self->Fail();
                                            });
                          self->Read();
                        });
}

void DataFeed::Read() {
  socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](
                                                     const asio::error_code &ec, std::size_t n) {
    if (self->closed_) return;
    if (n > 0) self->hooks_.activity();
    std::string_view bytes(self->buffer_.data(), n);
    if (!self->stream_ && n > 0) {
      const core::FeedReplyStatus status = self->parser_.Feed(bytes);
      if (status == core::FeedReplyStatus::kOk) {
        self->stream_.emplace(static_cast<uint32_t>(self->target_.channel_count),
                              self->target_.nominal_srate, self->parser_.Header().big_endian);
        bytes = self->parser_.Remainder();
      } else if (status != core::FeedReplyStatus::kNeedMore) {
        return self->Fail();
      } else {
        bytes = {};
      }
    }
    if (self->stream_ && !bytes.empty()) {
      const bool good = self->stream_->Feed(bytes, self->decoded_);
      if (!self->connected_ && self->stream_->TestPatternsVerified()) {
        self->connected_ = true;
        self->deadline_.cancel();
        self->hooks_.connected();
      }
      if (!self->decoded_.empty()) self->hooks_.samples(self->decoded_);
      self->decoded_.clear();
      if (!good) return self->Fail();
    }
    if (ec) return self->Fail();
    self->Read();
  });
}

void DataFeed::Close() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  socket_.close(ignored);
  deadline_.cancel();
}

void DataFeed::Fail() {
  if (closed_) return;
  Close();
  hooks_.failed();
}

}  // namespace maroquint::lsl::net
