#include "core/protocol/request.h"

#include "core/protocol/constants.h"
#include "core/stream_info.h"
#include "core/text.h"

#include <algorithm>

namespace maroquint::lsl::core {

std::string FormatFullinfoRequest() {
  return std::string(kFullinfoMethod) + "\r\n";
}

std::string FormatInfoQueryRequest(std::string_view query) {
  std::string out(kShortinfoMethod);
  out += "\r\n";
  out += query;
  out += "\r\n";
  return out;
}

std::string FormatFeedRequest(const FeedRequest &r) {
  std::string out;
  out.reserve(256 + r.uid.size() + r.hostname.size() + r.source_id.size() + r.session_id.size());
  out += kStreamfeedMethod;
  out += std::to_string(kProtocolVersion) + " " + r.uid;
  out += "\r\nNative-Byte-Order: " + std::to_string(kLittleEndianOrder) + "\r\n";
  // String streams never swap bytes, so no swap rate is worth measuring.
  out += "Endian-Performance: 0\r\n";
  out += "Has-IEEE754-Floats: 1\r\n";
  out += "Supports-Subnormals: 0\r\n";
  out += "Value-Size: 32\r\n";
  out += "Data-Protocol-Version: " + std::to_string(kProtocolVersion) + "\r\n";
  out += "Max-Buffer-Length: " + std::to_string(r.max_buffer_length) + "\r\n";
  out += "Max-Chunk-Length: " + std::to_string(r.max_chunk_length) + "\r\n";
  out += "Hostname: " + r.hostname + "\r\n";
  out += "Source-Id: " + r.source_id + "\r\n";
  out += "Session-Id: " + r.session_id + "\r\n";
  out += "\r\n";
  return out;
}

std::int32_t FeedBufferLength(std::int32_t max_buflen, double nominal_srate) {
  if (max_buflen <= 0) max_buflen = 360;
  const double samples = nominal_srate > 0.0 ? static_cast<double>(max_buflen) * nominal_srate
                                             : static_cast<double>(max_buflen) * 100.0;
  if (samples >= 2147483647.0) return 2147483647;
  return std::max<std::int32_t>(1, static_cast<std::int32_t>(samples));
}

std::size_t TcpRequestReader::Feed(const char *data, std::size_t size) {
  std::size_t used = 0;
  while (used < size && state_ != State::kDone) {
    char c = data[used++];
    if (c != '\n') {
      line_.push_back(c);
      const auto limit = state_ == State::kHeaders ? kMaxHeaderBlockBytes : kMaxRequestLineBytes;
      if (line_.size() > limit) Finish(TcpRequest::Kind::kClose);
      continue;
    }
    std::string line;
    line.swap(line_);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    OnLine(line);
  }
  return used;
}

void TcpRequestReader::OnLine(std::string_view line) {
  switch (state_) {
    case State::kRequestLine: {
      auto method = Trim(line);
      if (method == kFullinfoMethod) return Finish(TcpRequest::Kind::kFullinfo);
      if (method == kShortinfoMethod) {
        state_ = State::kQueryLine;
        return;
      }
      // The bare "LSL:streamfeed" (protocol 1.00) and unknown methods end here.
      if (method.substr(0, kStreamfeedMethod.size()) != kStreamfeedMethod)
        return Finish(TcpRequest::Kind::kClose);
      auto rest = method.substr(kStreamfeedMethod.size());
      auto space = rest.find(' ');
      auto version = ParseInt(rest.substr(0, space));
      if (!version || *version < 0 ||
          rest.substr(0, space).find_first_of(" \t") != std::string_view::npos)
        return Finish(TcpRequest::Kind::kClose);
      version_ = *version;
      if (space != std::string_view::npos) {
        result_.uid = std::string(Trim(rest.substr(space)));
        if (result_.uid.find_first_of(" \t") != std::string::npos)
          return Finish(TcpRequest::Kind::kClose);
      }
      state_ = State::kHeaders;
      return;
    }
    case State::kQueryLine:
      result_.query = std::string(Trim(line));
      return Finish(TcpRequest::Kind::kShortinfo);
    case State::kHeaders:
      if (line.empty()) return FinishStreamfeed();
      header_bytes_ += line.size() + 2;
      if (++header_lines_ > kMaxHeaderLines || header_bytes_ > kMaxHeaderBlockBytes)
        return Finish(TcpRequest::Kind::kClose);
      return OnHeader(line);
    case State::kDone:
      return;
  }
}

void TcpRequestReader::OnHeader(std::string_view line) {
  auto content = line.substr(0, line.find(';'));
  auto colon = content.find(':');
  if (colon == std::string_view::npos) return;
  auto key = Lower(Trim(content.substr(0, colon)));
  auto value = Trim(content.substr(colon + 1));
  auto number = [&]() -> std::optional<int64_t> {
    auto n = ParseInt(value);
    if (!n || *n < 0) bad_header_ = true;
    return n;
  };
  if (key == "max-buffer-length")
    result_.max_buffer_length = number().value_or(0);
  else if (key == "max-chunk-length")
    result_.max_chunk_length = number().value_or(0);
  else if (key == "protocol-version")
    protocol_version_header_ = number();
  else if (key == "hostname")
    result_.hostname = std::string(value);
  else if (key == "source-id")
    result_.source_id = std::string(value);
  else if (key == "session-id")
    result_.session_id = std::string(value);
}

void TcpRequestReader::FinishStreamfeed() {
  if (bad_header_) return Finish(TcpRequest::Kind::kClose);
  const auto version = protocol_version_header_.value_or(version_);
  if (version / 100 > kProtocolVersion / 100) return Finish(TcpRequest::Kind::kVersionNotSupported);
  if (!result_.uid.empty() && result_.uid != uid_) return Finish(TcpRequest::Kind::kNotFound);
  // Data protocol 1.00 is not served.
  if (version < kProtocolVersion) return Finish(TcpRequest::Kind::kClose);
  Finish(TcpRequest::Kind::kStreamfeed);
}

}  // namespace maroquint::lsl::core
