#include "core/protocol/streamfeed.h"

#include "core/protocol/constants.h"
#include "core/protocol/sample.h"
#include "core/stream_info.h"
#include "core/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace maroquint::lsl::core {
namespace {

bool HostIsBigEndian() {
  const std::uint16_t probe = 0x0102;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 0x01;
}

}  // namespace

std::string FormatFeedReplyHeader(std::string_view uid) {
  std::string out(kOkStatusLine);
  out += "\r\nUID: ";
  out.append(uid);
  out +=
      "\r\nByte-Order: " + std::to_string(kLittleEndianOrder) +
      "\r\nSuppress-Subnormals: 0\r\nData-Protocol-Version: " + std::to_string(kProtocolVersion) +
      "\r\n\r\n";
  return out;
}

std::string StreamfeedOkReply(std::string_view uid, std::size_t channel_count) {
  return FormatFeedReplyHeader(uid) + StringTestPatterns(channel_count);
}

FeedReplyParser::FeedReplyParser(std::string expected_uid)
    : expected_uid_(std::move(expected_uid)) {}

FeedReplyStatus FeedReplyParser::Feed(std::string_view bytes) {
  if (status_ != FeedReplyStatus::kNeedMore) return status_;
  // Only the header block is kept here; at most this many bytes can belong to it.
  const std::size_t room =
      kMaxFeedHeaderBytes + 1 - std::min(buffer_.size(), kMaxFeedHeaderBytes + 1);
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
    if (next == std::string_view::npos)
      return at_end ? FeedReplyStatus::kMalformed : FeedReplyStatus::kNeedMore;
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
  const std::optional<int64_t> version = ParseInt(parts[0].substr(4));
  const std::optional<int64_t> code = ParseInt(parts[1]);
  if (!version || !code) return FeedReplyStatus::kMalformed;
  if (*version / 100 > kProtocolVersion / 100) return FeedReplyStatus::kVersionNotSupported;
  if (*code == 200) return FeedReplyStatus::kOk;
  if (*code == 404) return FeedReplyStatus::kNotFound;
  if (*code == 505) return FeedReplyStatus::kVersionNotSupported;
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
    if (key == "byte-order") {
      const std::optional<int64_t> order = ParseInt(value);
      if (!order) return FeedReplyStatus::kMalformed;
      if (*order == 0) {
        header_.big_endian = HostIsBigEndian();
      } else if (*order == kLittleEndianOrder || *order == kBigEndianOrder) {
        header_.big_endian = *order == kBigEndianOrder;
      } else {
        return FeedReplyStatus::kMalformed;
      }
    } else if (key == "suppress-subnormals") {
      header_.suppress_subnormals = value == "1";
    } else if (key == "uid") {
      header_.uid = std::string(value);
      if (!expected_uid_.empty() && header_.uid != expected_uid_) return FeedReplyStatus::kNotFound;
    } else if (key == "data-protocol-version") {
      const std::optional<int64_t> version = ParseInt(value);
      if (!version) return FeedReplyStatus::kMalformed;
      if (*version > kProtocolVersion) return FeedReplyStatus::kVersionNotSupported;
      header_.data_protocol_version = static_cast<int>(*version);
      have_protocol = true;
    }
  }
  // Without the header the outlet speaks the legacy 1.00 archive format.
  if (!have_protocol) header_.data_protocol_version = 100;
  if (header_.data_protocol_version != kProtocolVersion) return FeedReplyStatus::kUnsupported;
  return FeedReplyStatus::kOk;
}

}  // namespace maroquint::lsl::core
