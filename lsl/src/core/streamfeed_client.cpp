#include "core/streamfeed_client.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace lsl::core {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool ParseInt(std::string_view text, long long& out) {
  text = Trim(text);
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool HostIsBigEndian() {
  const std::uint16_t probe = 0x0102;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 0x01;
}

}  // namespace

std::string BuildFeedRequest(const FeedRequest& r) {
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

std::int32_t FeedBufferLength(std::int32_t max_buflen, double nominal_srate) {
  if (max_buflen <= 0) max_buflen = 360;
  const double samples = nominal_srate > 0.0 ? static_cast<double>(max_buflen) * nominal_srate
                                             : static_cast<double>(max_buflen) * 100.0;
  if (samples >= 2147483647.0) return 2147483647;
  return std::max<std::int32_t>(1, static_cast<std::int32_t>(samples));
}

FeedReplyParser::FeedReplyParser(std::string expected_uid) : expected_uid_(std::move(expected_uid)) {}

FeedReplyStatus FeedReplyParser::Feed(std::string_view bytes) {
  if (status_ != FeedReplyStatus::kNeedMore) return status_;
  // Only the header block is kept here; at most this many bytes can belong to it.
  const std::size_t room = kMaxFeedHeaderBytes + 1 - std::min(buffer_.size(), kMaxFeedHeaderBytes + 1);
  const std::size_t take = std::min(bytes.size(), room);
  buffer_.append(bytes.data(), take);
  status_ = Evaluate(false);
  if (status_ == FeedReplyStatus::kOk) {
    // Bytes beyond the header that did not fit the header-sized window.
    buffer_.append(bytes.data() + take, bytes.size() - take);
  } else if (status_ == FeedReplyStatus::kNeedMore && buffer_.size() > kMaxFeedHeaderBytes) {
    status_ = FeedReplyStatus::kMalformed;
  }
  return status_;
}

FeedReplyStatus FeedReplyParser::Finish() {
  if (status_ != FeedReplyStatus::kNeedMore) return status_;
  status_ = Evaluate(true);
  if (status_ == FeedReplyStatus::kNeedMore) status_ = FeedReplyStatus::kMalformed;
  return status_;
}

std::string_view FeedReplyParser::Remainder() const {
  if (status_ != FeedReplyStatus::kOk) return {};
  return std::string_view(buffer_).substr(remainder_offset_);
}

FeedReplyStatus FeedReplyParser::Evaluate(bool at_end) {
  const std::string_view all(buffer_);
  const std::size_t eol = all.find('\n');
  if (eol == std::string_view::npos) {
    if (!at_end) return FeedReplyStatus::kNeedMore;
    const FeedReplyStatus s = ParseStatusLine(all);
    return s == FeedReplyStatus::kOk ? FeedReplyStatus::kMalformed : s;
  }
  const FeedReplyStatus s = ParseStatusLine(all.substr(0, eol));
  if (s != FeedReplyStatus::kOk) return s;

  // Header lines up to the first empty line.
  std::size_t pos = eol + 1;
  while (true) {
    const std::size_t next = all.find('\n', pos);
    if (next == std::string_view::npos) return at_end ? FeedReplyStatus::kMalformed : FeedReplyStatus::kNeedMore;
    std::string_view line = all.substr(pos, next - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) {
      const FeedReplyStatus h = ParseHeaderLines(all.substr(eol + 1, pos - (eol + 1)));
      if (h == FeedReplyStatus::kOk) remainder_offset_ = next + 1;
      return h;
    }
    pos = next + 1;
  }
}

FeedReplyStatus FeedReplyParser::ParseStatusLine(std::string_view line) {
  line = Trim(line);
  std::vector<std::string_view> parts;
  while (!line.empty()) {
    const std::size_t sp = line.find(' ');
    parts.push_back(line.substr(0, sp));
    if (sp == std::string_view::npos) break;
    line.remove_prefix(sp + 1);
    line = Trim(line);
  }
  if (parts.size() < 3 || parts[0].substr(0, 4) != "LSL/") return FeedReplyStatus::kMalformed;
  long long version = 0;
  long long code = 0;
  if (!ParseInt(parts[0].substr(4), version) || !ParseInt(parts[1], code)) return FeedReplyStatus::kMalformed;
  if (version / 100 > kFeedProtocolVersion / 100) return FeedReplyStatus::kVersionNotSupported;
  if (code == 200) return FeedReplyStatus::kOk;
  if (code == 404) return FeedReplyStatus::kNotFound;
  if (code == 505) return FeedReplyStatus::kVersionNotSupported;
  return FeedReplyStatus::kRefused;
}

FeedReplyStatus FeedReplyParser::ParseHeaderLines(std::string_view block) {
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
    const std::string key = Lower(Trim(line.substr(0, colon)));
    const std::string_view value = Trim(line.substr(colon + 1));
    long long number = 0;
    if (key == "byte-order") {
      if (!ParseInt(value, number)) return FeedReplyStatus::kMalformed;
      if (number == 0) {
        header_.big_endian = HostIsBigEndian();
      } else if (number == 1234 || number == 4321) {
        header_.big_endian = number == 4321;
      } else {
        return FeedReplyStatus::kMalformed;
      }
    } else if (key == "suppress-subnormals") {
      header_.suppress_subnormals = value == "1";
    } else if (key == "uid") {
      header_.uid = std::string(value);
      if (!expected_uid_.empty() && header_.uid != expected_uid_) return FeedReplyStatus::kNotFound;
    } else if (key == "data-protocol-version") {
      if (!ParseInt(value, number)) return FeedReplyStatus::kMalformed;
      if (number > kFeedProtocolVersion) return FeedReplyStatus::kVersionNotSupported;
      header_.data_protocol_version = static_cast<int>(number);
      have_protocol = true;
    }
  }
  // Without the header the outlet speaks the legacy 1.00 archive format.
  if (!have_protocol) header_.data_protocol_version = 100;
  if (header_.data_protocol_version != kFeedProtocolVersion) return FeedReplyStatus::kUnsupported;
  return FeedReplyStatus::kOk;
}

StringSampleDecoder::StringSampleDecoder(std::uint32_t channel_count, bool big_endian,
                                         std::uint64_t max_value_bytes)
    : channel_count_(channel_count), big_endian_(big_endian), max_value_bytes_(max_value_bytes) {}

std::uint64_t StringSampleDecoder::ScratchValue() const {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < scratch_needed_; ++i) {
    const std::size_t idx = big_endian_ ? i : scratch_needed_ - 1 - i;
    v = (v << 8) | scratch_[idx];
  }
  return v;
}

void StringSampleDecoder::BeginChannel() {
  state_ = State::kWidth;
  scratch_needed_ = 1;
  scratch_have_ = 0;
}

void StringSampleDecoder::FinishValue(std::vector<StringSample>& out) {
  if (current_.values.size() == channel_count_) {
    out.push_back(std::move(current_));
    current_ = StringSample{};
    state_ = State::kTag;
  } else {
    BeginChannel();
  }
}

bool StringSampleDecoder::Feed(std::string_view bytes, std::vector<StringSample>& out) {
  std::size_t i = 0;
  while (i < bytes.size() && state_ != State::kCorrupt) {
    switch (state_) {
      case State::kTag: {
        const unsigned char tag = static_cast<unsigned char>(bytes[i++]);
        current_ = StringSample{};
        current_.values.reserve(channel_count_);
        if (tag == 2) {
          state_ = State::kTimestamp;
          scratch_needed_ = 8;
          scratch_have_ = 0;
        } else if (tag == 1) {
          current_.timestamp = kDeduced;
          if (channel_count_ == 0) {
            out.push_back(std::move(current_));
            current_ = StringSample{};
          } else {
            BeginChannel();
          }
        } else {
          state_ = State::kCorrupt;
        }
        break;
      }
      case State::kTimestamp:
      case State::kWidth:
      case State::kLength: {
        const std::size_t n = std::min(scratch_needed_ - scratch_have_, bytes.size() - i);
        std::memcpy(scratch_ + scratch_have_, bytes.data() + i, n);
        scratch_have_ += n;
        i += n;
        if (scratch_have_ < scratch_needed_) break;
        if (state_ == State::kTimestamp) {
          const std::uint64_t bits = ScratchValue();
          std::memcpy(&current_.timestamp, &bits, sizeof bits);
          if (channel_count_ == 0) {
            out.push_back(std::move(current_));
            current_ = StringSample{};
            state_ = State::kTag;
          } else {
            BeginChannel();
          }
        } else if (state_ == State::kWidth) {
          const unsigned width = scratch_[0];
          if (width != 1 && width != 2 && width != 4 && width != 8) {
            state_ = State::kCorrupt;
            break;
          }
          state_ = State::kLength;
          scratch_needed_ = width;
          scratch_have_ = 0;
        } else {
          content_left_ = ScratchValue();
          if (content_left_ > max_value_bytes_) {
            state_ = State::kCorrupt;
            break;
          }
          current_.values.emplace_back();
          // A hostile length must not reserve memory before the bytes arrive.
          current_.values.back().reserve(static_cast<std::size_t>(std::min<std::uint64_t>(content_left_, 65536)));
          state_ = State::kContent;
          if (content_left_ == 0) FinishValue(out);
        }
        break;
      }
      case State::kContent: {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(content_left_, bytes.size() - i));
        current_.values.back().append(bytes.data() + i, n);
        i += n;
        content_left_ -= n;
        if (content_left_ == 0) FinishValue(out);
        break;
      }
      case State::kCorrupt:
        break;
    }
  }
  return state_ != State::kCorrupt;
}

std::vector<std::string> StringTestPattern(std::uint32_t channel_count) {
  std::vector<std::string> values;
  values.reserve(channel_count);
  for (std::uint32_t k = 0; k < channel_count; ++k) {
    const long long v = static_cast<long long>(k) + 10;
    values.push_back(std::to_string(k % 2 == 0 ? v : -v));
  }
  return values;
}

FeedSampleStream::FeedSampleStream(std::uint32_t channel_count, double nominal_srate, bool big_endian,
                                   std::uint64_t max_value_bytes)
    : decoder_(channel_count, big_endian, max_value_bytes),
      expected_pattern_(StringTestPattern(channel_count)),
      interval_(nominal_srate > 0.0 ? 1.0 / nominal_srate : 0.0) {}

bool FeedSampleStream::Feed(std::string_view bytes, std::vector<StringSample>& out) {
  if (failed_) return false;
  scratch_.clear();
  if (!decoder_.Feed(bytes, scratch_)) failed_ = true;
  for (StringSample& s : scratch_) {
    if (patterns_seen_ < 2) {
      if (s.timestamp != kTestPatternTimestamp || s.values != expected_pattern_) {
        failed_ = true;
        return false;
      }
      ++patterns_seen_;
      continue;
    }
    if (s.timestamp == StringSampleDecoder::kDeduced) {
      s.timestamp = last_timestamp_ + interval_;
    }
    last_timestamp_ = s.timestamp;
    out.push_back(std::move(s));
  }
  return !failed_;
}

}  // namespace lsl::core
