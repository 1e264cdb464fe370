// The outlet's answer to a streamfeed request, both halves: the
// "LSL/110 200 OK" header block (and the error status lines) the outlet
// writes, and the consumer's incremental reader for it. Samples follow the
// header; see sample.h.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace maroquint::lsl::core {

struct FeedReplyHeader {
  bool big_endian = false;
  int data_protocol_version = 0;
  bool suppress_subnormals = false;
  std::string uid;
};

// The 200 status line and header block of a little-endian outlet speaking
// data protocol 1.10 for `uid`, through the blank line.
std::string FormatFeedReplyHeader(std::string_view uid);
// The header followed by the two test patterns of a string stream with
// `channel_count` channels: everything an outlet writes before samples.
std::string StreamfeedOkReply(std::string_view uid, std::size_t channel_count);

enum class FeedReplyStatus {
  kNeedMore,             // the header block is still incomplete
  kOk,                   // 200 with a usable header: samples follow
  kNotFound,             // 404: this outlet no longer serves the uid
  kVersionNotSupported,  // 505, or a newer protocol than ours
  kRefused,              // any other status code
  kUnsupported,          // a data protocol we cannot read (missing header = 1.00)
  kMalformed,            // not an LSL reply, oversized, or the wrong uid
};

// Reads the status line and header block, byte chunk by byte chunk. After
// kOk, Remainder() holds the bytes that followed the header (the start of
// the sample data).
class FeedReplyParser {
 public:
  explicit FeedReplyParser(std::string expected_uid);

  FeedReplyStatus Feed(std::string_view bytes);
  // The peer closed the connection: the error status lines carry no line end,
  // so what has arrived so far may be a complete answer.
  FeedReplyStatus Finish();

  const FeedReplyHeader &Header() const { return header_; }
  std::string_view Remainder() const;

 private:
  FeedReplyStatus Evaluate(bool at_end);
  FeedReplyStatus ParseStatusLine(std::string_view line);
  FeedReplyStatus ParseHeaderLines(std::string_view block);

  std::string expected_uid_;
  std::string buffer_;
  std::size_t remainder_offset_ = 0;
  FeedReplyStatus status_ = FeedReplyStatus::kNeedMore;
  FeedReplyHeader header_;
};

}  // namespace maroquint::lsl::core
