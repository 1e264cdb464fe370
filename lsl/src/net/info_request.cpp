#include "net/info_request.h"

#include "core/protocol/request.h"
#include "net/platform.h"

#include <asio/post.hpp>
#include <asio/write.hpp>

namespace maroquint::lsl::net {

InfoRequest::InfoRequest(asio::io_context &io, Done done)
    : io_(io), socket_(io), deadline_(io), done_(std::move(done)) {}

void InfoRequest::Start(const asio::ip::tcp::endpoint &outlet,
                        std::chrono::steady_clock::time_point deadline) {
  request_ = core::FormatFullinfoRequest();
  deadline_.expires_at(deadline);
  deadline_.async_wait([self = shared_from_this()](const asio::error_code &ec) {
    if (!ec) self->Finish(std::nullopt);
  });
  socket_.async_connect(outlet, [self = shared_from_this()](const asio::error_code &ec) {
    if (self->finished_) return;
    if (ec) return self->Finish(std::nullopt);
    KeepFromChildProcesses(self->socket_.native_handle());
    asio::async_write(self->socket_, asio::buffer(self->request_),
                      [self](const asio::error_code &write_ec, std::size_t) {
                        if (write_ec) self->Finish(std::nullopt);
                      });
    self->ReadMore();
  });
}

void InfoRequest::Cancel() {
  asio::post(io_, [self = shared_from_this()] { self->Finish(std::nullopt); });
}

void InfoRequest::ReadMore() {
  socket_.async_read_some(asio::buffer(chunk_),
                          [self = shared_from_this()](const asio::error_code &ec, std::size_t n) {
                            if (self->finished_) return;
                            self->reply_.append(self->chunk_.data(), n);
                            if (self->reply_.size() > core::kMaxInfoXmlBytes)
                              return self->Finish(std::nullopt);
                            if (!ec) return self->ReadMore();
                            if (ec != asio::error::eof) return self->Finish(std::nullopt);
                            self->Finish(core::ParseXml(self->reply_));
                          });
}

void InfoRequest::Finish(std::optional<core::StreamInfo> info) {
  if (finished_) return;
  finished_ = true;
  deadline_.cancel();
  asio::error_code ignored;
  socket_.close(ignored);
  done_(std::move(info));
}

}  // namespace maroquint::lsl::net
