#include "core/outlet_protocol.h"

#include "core/sample.h"
#include "core/stream_info.h"
#include "core/text.h"

namespace lsl::core {
namespace {

// Splits off the next line (through '\n'); nullopt when there is none.
std::optional<std::string_view> take_line(std::string_view &s) {
  auto eol = s.find('\n');
  if (eol == std::string_view::npos) return std::nullopt;
  auto line = s.substr(0, eol);
  s.remove_prefix(eol + 1);
  return line;
}

}  // namespace

DatagramKind classify_datagram(std::string_view datagram) {
  auto first = trim(datagram.substr(0, datagram.find('\n')));
  if (first == "LSL:shortinfo") return DatagramKind::shortinfo;
  if (first == "LSL:timedata") return DatagramKind::timedata;
  return DatagramKind::other;
}

std::optional<ShortinfoRequest> parse_shortinfo_request(std::string_view datagram) {
  if (datagram.size() > kMaxDatagramBytes) return std::nullopt;
  auto rest = datagram;
  auto method = take_line(rest);
  if (!method || trim(*method) != "LSL:shortinfo") return std::nullopt;
  auto query = take_line(rest);
  if (!query) return std::nullopt;
  auto last = take_line(rest);
  auto tail = trim(last ? *last : rest);
  if (last && !trim(rest).empty()) return std::nullopt;
  auto space = tail.find_first_of(" \t");
  if (space == std::string_view::npos) return std::nullopt;
  auto port = parse_int(tail.substr(0, space));
  auto id = trim(tail.substr(space));
  if (!port || *port < 1 || *port > 65535 || id.empty() ||
      id.find_first_of(" \t\r\n") != std::string_view::npos || id.size() > 128)
    return std::nullopt;
  ShortinfoRequest request;
  request.query = std::string(trim(*query));
  if (request.query.size() > kMaxRequestLineBytes) return std::nullopt;
  request.reply_port = static_cast<uint16_t>(*port);
  request.query_id = std::string(id);
  return request;
}

std::string format_shortinfo_reply(std::string_view query_id, std::string_view short_xml) {
  std::string out;
  out.reserve(query_id.size() + 2 + short_xml.size());
  out.append(query_id);
  out.append("\r\n");
  out.append(short_xml);
  return out;
}

std::string streamfeed_ok_reply(std::string_view uid, std::size_t channel_count) {
  std::string out = "LSL/110 200 OK\r\nUID: ";
  out.append(uid);
  out.append(
      "\r\nByte-Order: 1234\r\nSuppress-Subnormals: 0\r\nData-Protocol-Version: 110\r\n\r\n");
  out.append(string_test_patterns(channel_count));
  return out;
}

std::size_t TcpRequestReader::feed(const char *data, std::size_t size) {
  std::size_t used = 0;
  while (used < size && state_ != State::done) {
    char c = data[used++];
    if (c != '\n') {
      line_.push_back(c);
      const auto limit = state_ == State::headers ? kMaxHeaderBlockBytes : kMaxRequestLineBytes;
      if (line_.size() > limit) finish(TcpRequest::Kind::close);
      continue;
    }
    std::string line;
    line.swap(line_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    on_line(line);
  }
  return used;
}

void TcpRequestReader::on_line(std::string_view line) {
  switch (state_) {
    case State::request_line: {
      auto method = trim(line);
      if (method == "LSL:fullinfo") return finish(TcpRequest::Kind::fullinfo);
      if (method == "LSL:shortinfo") {
        state_ = State::query_line;
        return;
      }
      constexpr std::string_view feed = "LSL:streamfeed/";
      // The bare "LSL:streamfeed" (protocol 1.00) and unknown methods end here.
      if (method.substr(0, feed.size()) != feed) return finish(TcpRequest::Kind::close);
      auto rest = method.substr(feed.size());
      auto space = rest.find(' ');
      auto version = parse_int(rest.substr(0, space));
      if (!version || *version < 0 ||
          rest.substr(0, space).find_first_of(" \t") != std::string_view::npos)
        return finish(TcpRequest::Kind::close);
      version_ = *version;
      if (space != std::string_view::npos) {
        requested_uid_ = std::string(trim(rest.substr(space)));
        if (requested_uid_.find_first_of(" \t") != std::string::npos)
          return finish(TcpRequest::Kind::close);
      }
      state_ = State::headers;
      return;
    }
    case State::query_line:
      result_.query = std::string(trim(line));
      return finish(TcpRequest::Kind::shortinfo);
    case State::headers: {
      if (line.empty()) return finish_streamfeed();
      header_bytes_ += line.size() + 2;
      if (++header_lines_ > kMaxHeaderLines || header_bytes_ > kMaxHeaderBlockBytes)
        return finish(TcpRequest::Kind::close);
      auto content = line.substr(0, line.find(';'));
      auto colon = content.find(':');
      if (colon == std::string_view::npos) return;
      auto key = lower(trim(content.substr(0, colon)));
      auto value = trim(content.substr(colon + 1));
      auto number = [&]() -> std::optional<int64_t> {
        auto n = parse_int(value);
        if (!n || *n < 0) bad_header_ = true;
        return n;
      };
      if (key == "max-buffer-length")
        result_.max_buffer_length = number().value_or(0);
      else if (key == "max-chunk-length")
        result_.max_chunk_length = number().value_or(0);
      else if (key == "protocol-version")
        protocol_version_header_ = number();
      return;
    }
    case State::done:
      return;
  }
}

void TcpRequestReader::finish_streamfeed() {
  if (bad_header_) return finish(TcpRequest::Kind::close);
  const auto version = protocol_version_header_.value_or(version_);
  if (version / 100 > kProtocolVersion / 100)
    return finish(TcpRequest::Kind::version_not_supported);
  if (!requested_uid_.empty() && requested_uid_ != uid_) return finish(TcpRequest::Kind::not_found);
  // Data protocol 1.00 is not served.
  if (version < kProtocolVersion) return finish(TcpRequest::Kind::close);
  finish(TcpRequest::Kind::streamfeed);
}

}  // namespace lsl::core
