#include "core/streamfeed_client.h"

#include "core/sample.h"
#include "core/stream_info.h"
#include "core/text.h"

#include <algorithm>
#include <cstring>

namespace lsl::core {
namespace {

bool host_is_big_endian() {
  const std::uint16_t probe = 0x0102;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 0x01;
}

}  // namespace

std::string build_feed_request(const FeedRequest &r) {
  std::string out;
  out.reserve(256 + r.uid.size() + r.hostname.size() + r.source_id.size() + r.session_id.size());
  out += "LSL:streamfeed/110 ";
  out += r.uid;
  out += "\r\nNative-Byte-Order: 1234\r\n";
  // String streams never swap bytes, so no swap rate is worth measuring.
  out += "Endian-Performance: 0\r\n";
  out += "Has-IEEE754-Floats: 1\r\n";
  out += "Supports-Subnormals: 0\r\n";
  out += "Value-Size: 32\r\n";
  out += "Data-Protocol-Version: 110\r\n";
  out += "Max-Buffer-Length: " + std::to_string(r.max_buffer_length) + "\r\n";
  out += "Max-Chunk-Length: " + std::to_string(r.max_chunk_length) + "\r\n";
  out += "Hostname: " + r.hostname + "\r\n";
  out += "Source-Id: " + r.source_id + "\r\n";
  out += "Session-Id: " + r.session_id + "\r\n";
  out += "\r\n";
  return out;
}

std::int32_t feed_buffer_length(std::int32_t max_buflen, double nominal_srate) {
  if (max_buflen <= 0) max_buflen = 360;
  const double samples = nominal_srate > 0.0 ? static_cast<double>(max_buflen) * nominal_srate
                                             : static_cast<double>(max_buflen) * 100.0;
  if (samples >= 2147483647.0) return 2147483647;
  return std::max<std::int32_t>(1, static_cast<std::int32_t>(samples));
}

FeedReplyParser::FeedReplyParser(std::string expected_uid)
    : expected_uid_(std::move(expected_uid)) {}

FeedReplyStatus FeedReplyParser::feed(std::string_view bytes) {
  if (status_ != FeedReplyStatus::need_more) return status_;
  // Only the header block is kept here; at most this many bytes can belong to it.
  const std::size_t room =
      kMaxFeedHeaderBytes + 1 - std::min(buffer_.size(), kMaxFeedHeaderBytes + 1);
  const std::size_t take = std::min(bytes.size(), room);
  buffer_.append(bytes.data(), take);
  status_ = evaluate(false);
  if (status_ == FeedReplyStatus::ok) {
    // Bytes beyond the header that did not fit the header-sized window.
    buffer_.append(bytes.data() + take, bytes.size() - take);
  } else if (status_ == FeedReplyStatus::need_more && buffer_.size() > kMaxFeedHeaderBytes) {
    status_ = FeedReplyStatus::malformed;
  }
  return status_;
}

FeedReplyStatus FeedReplyParser::finish() {
  if (status_ != FeedReplyStatus::need_more) return status_;
  status_ = evaluate(true);
  if (status_ == FeedReplyStatus::need_more) status_ = FeedReplyStatus::malformed;
  return status_;
}

std::string_view FeedReplyParser::remainder() const {
  if (status_ != FeedReplyStatus::ok) return {};
  return std::string_view(buffer_).substr(remainder_offset_);
}

FeedReplyStatus FeedReplyParser::evaluate(bool at_end) {
  const std::string_view all(buffer_);
  const std::size_t eol = all.find('\n');
  if (eol == std::string_view::npos) {
    if (!at_end) return FeedReplyStatus::need_more;
    const FeedReplyStatus s = parse_status_line(all);
    return s == FeedReplyStatus::ok ? FeedReplyStatus::malformed : s;
  }
  const FeedReplyStatus s = parse_status_line(all.substr(0, eol));
  if (s != FeedReplyStatus::ok) return s;

  // Header lines up to the first empty line.
  std::size_t pos = eol + 1;
  while (true) {
    const std::size_t next = all.find('\n', pos);
    if (next == std::string_view::npos)
      return at_end ? FeedReplyStatus::malformed : FeedReplyStatus::need_more;
    std::string_view line = all.substr(pos, next - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      const FeedReplyStatus h = parse_header_lines(all.substr(eol + 1, pos - (eol + 1)));
      if (h == FeedReplyStatus::ok) remainder_offset_ = next + 1;
      return h;
    }
    pos = next + 1;
  }
}

FeedReplyStatus FeedReplyParser::parse_status_line(std::string_view line) {
  line = trim(line);
  std::vector<std::string_view> parts;
  while (!line.empty()) {
    const std::size_t sp = line.find(' ');
    parts.push_back(line.substr(0, sp));
    if (sp == std::string_view::npos) break;
    line.remove_prefix(sp + 1);
    line = trim(line);
  }
  if (parts.size() < 3 || parts[0].substr(0, 4) != "LSL/") return FeedReplyStatus::malformed;
  const std::optional<int64_t> version = parse_int(parts[0].substr(4));
  const std::optional<int64_t> code = parse_int(parts[1]);
  if (!version || !code) return FeedReplyStatus::malformed;
  if (*version / 100 > kFeedProtocolVersion / 100) return FeedReplyStatus::version_not_supported;
  if (*code == 200) return FeedReplyStatus::ok;
  if (*code == 404) return FeedReplyStatus::not_found;
  if (*code == 505) return FeedReplyStatus::version_not_supported;
  return FeedReplyStatus::refused;
}

FeedReplyStatus FeedReplyParser::parse_header_lines(std::string_view block) {
  header_ = FeedReplyHeader{};
  bool have_protocol = false;
  while (!block.empty()) {
    const std::size_t nl = block.find('\n');
    std::string_view line = block.substr(0, nl);
    block = nl == std::string_view::npos ? std::string_view() : block.substr(nl + 1);
    const std::size_t semi = line.find(';');
    if (semi != std::string_view::npos) line = line.substr(0, semi);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string key = lower(trim(line.substr(0, colon)));
    const std::string_view value = trim(line.substr(colon + 1));
    if (key == "byte-order") {
      const std::optional<int64_t> order = parse_int(value);
      if (!order) return FeedReplyStatus::malformed;
      if (*order == 0) {
        header_.big_endian = host_is_big_endian();
      } else if (*order == 1234 || *order == 4321) {
        header_.big_endian = *order == 4321;
      } else {
        return FeedReplyStatus::malformed;
      }
    } else if (key == "suppress-subnormals") {
      header_.suppress_subnormals = value == "1";
    } else if (key == "uid") {
      header_.uid = std::string(value);
      if (!expected_uid_.empty() && header_.uid != expected_uid_) return FeedReplyStatus::not_found;
    } else if (key == "data-protocol-version") {
      const std::optional<int64_t> version = parse_int(value);
      if (!version) return FeedReplyStatus::malformed;
      if (*version > kFeedProtocolVersion) return FeedReplyStatus::version_not_supported;
      header_.data_protocol_version = static_cast<int>(*version);
      have_protocol = true;
    }
  }
  // Without the header the outlet speaks the legacy 1.00 archive format.
  if (!have_protocol) header_.data_protocol_version = 100;
  if (header_.data_protocol_version != kFeedProtocolVersion) return FeedReplyStatus::unsupported;
  return FeedReplyStatus::ok;
}

StringSampleDecoder::StringSampleDecoder(std::uint32_t channel_count, bool big_endian,
                                         std::uint64_t max_value_bytes)
    : channel_count_(channel_count), big_endian_(big_endian), max_value_bytes_(max_value_bytes) {}

std::uint64_t StringSampleDecoder::scratch_value() const {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < scratch_needed_; ++i) {
    const std::size_t idx = big_endian_ ? i : scratch_needed_ - 1 - i;
    v = (v << 8) | scratch_[idx];
  }
  return v;
}

void StringSampleDecoder::begin_channel() {
  state_ = State::width;
  scratch_needed_ = 1;
  scratch_have_ = 0;
}

void StringSampleDecoder::finish_value(std::vector<StringSample> &out) {
  if (current_.values.size() == channel_count_) {
    out.push_back(std::move(current_));
    current_ = StringSample{};
    state_ = State::tag;
  } else {
    begin_channel();
  }
}

bool StringSampleDecoder::feed(std::string_view bytes, std::vector<StringSample> &out) {
  std::size_t i = 0;
  while (i < bytes.size() && state_ != State::corrupt) {
    switch (state_) {
      case State::tag: {
        const unsigned char tag = static_cast<unsigned char>(bytes[i++]);
        current_ = StringSample{};
        current_.values.reserve(channel_count_);
        if (tag == 2) {
          state_ = State::timestamp;
          scratch_needed_ = 8;
          scratch_have_ = 0;
        } else if (tag == 1) {
          current_.timestamp = kDeducedTimestamp;
          if (channel_count_ == 0) {
            out.push_back(std::move(current_));
            current_ = StringSample{};
          } else {
            begin_channel();
          }
        } else {
          state_ = State::corrupt;
        }
        break;
      }
      case State::timestamp:
      case State::width:
      case State::length: {
        const std::size_t n = std::min(scratch_needed_ - scratch_have_, bytes.size() - i);
        std::memcpy(scratch_ + scratch_have_, bytes.data() + i, n);
        scratch_have_ += n;
        i += n;
        if (scratch_have_ < scratch_needed_) break;
        if (state_ == State::timestamp) {
          const std::uint64_t bits = scratch_value();
          std::memcpy(&current_.timestamp, &bits, sizeof bits);
          if (channel_count_ == 0) {
            out.push_back(std::move(current_));
            current_ = StringSample{};
            state_ = State::tag;
          } else {
            begin_channel();
          }
        } else if (state_ == State::width) {
          const unsigned width = scratch_[0];
          if (width != 1 && width != 2 && width != 4 && width != 8) {
            state_ = State::corrupt;
            break;
          }
          state_ = State::length;
          scratch_needed_ = width;
          scratch_have_ = 0;
        } else {
          content_left_ = scratch_value();
          if (content_left_ > max_value_bytes_) {
            state_ = State::corrupt;
            break;
          }
          current_.values.emplace_back();
          // A hostile length must not reserve memory before the bytes arrive.
          current_.values.back().reserve(
              static_cast<std::size_t>(std::min<std::uint64_t>(content_left_, 65536)));
          state_ = State::content;
          if (content_left_ == 0) finish_value(out);
        }
        break;
      }
      case State::content: {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(content_left_, bytes.size() - i));
        current_.values.back().append(bytes.data() + i, n);
        i += n;
        content_left_ -= n;
        if (content_left_ == 0) finish_value(out);
        break;
      }
      case State::corrupt:
        break;
    }
  }
  return state_ != State::corrupt;
}

FeedSampleStream::FeedSampleStream(std::uint32_t channel_count, double nominal_srate,
                                   bool big_endian, std::uint64_t max_value_bytes)
    : decoder_(channel_count, big_endian, max_value_bytes),
      expected_pattern_(channel_count),
      interval_(nominal_srate > 0.0 ? 1.0 / nominal_srate : 0.0) {
  for (std::uint32_t k = 0; k < channel_count; ++k) expected_pattern_[k] = test_pattern_value(k);
}

bool FeedSampleStream::feed(std::string_view bytes, std::vector<StringSample> &out) {
  if (failed_) return false;
  scratch_.clear();
  if (!decoder_.feed(bytes, scratch_)) failed_ = true;
  for (StringSample &s : scratch_) {
    if (patterns_seen_ < 2) {
      if (s.timestamp != kTestPatternTimestamp || s.values != expected_pattern_) {
        failed_ = true;
        return false;
      }
      ++patterns_seen_;
      continue;
    }
    if (s.timestamp == kDeducedTimestamp) {
      s.timestamp = last_timestamp_ + interval_;
    }
    last_timestamp_ = s.timestamp;
    out.push_back(std::move(s));
  }
  return !failed_;
}

}  // namespace lsl::core
