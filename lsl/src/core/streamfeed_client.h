// Consumer side of the TCP data connection (LSL:streamfeed/110): the request
// an inlet sends, the reply header it expects, and the incremental decoder
// for string samples that follow. No sockets and no clock reads: bytes go in,
// samples come out.
#ifndef LSL_CORE_STREAMFEED_CLIENT_H
#define LSL_CORE_STREAMFEED_CLIENT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lsl::core {

// The data protocol this consumer speaks; replies announcing a newer one are refused.
constexpr int kFeedProtocolVersion = 110;
// Longest status line plus header block a peer may send before it counts as hostile.
constexpr std::size_t kMaxFeedHeaderBytes = 8192;
// Longest single string value accepted from the wire.
constexpr std::uint64_t kMaxStringValueBytes = 16u * 1024u * 1024u;

struct FeedRequest {
  std::string uid;
  std::string hostname;
  std::string source_id;
  std::string session_id;
  std::int32_t max_buffer_length = 0;  // samples
  std::int32_t max_chunk_length = 0;
};

// The whole request, header lines included, exactly as liblsl's inlet sends it
// for a string stream.
std::string build_feed_request(const FeedRequest &request);

// Samples the outlet may queue for us: max_buflen is hundreds of samples for an
// irregular stream and seconds for a regular one.
std::int32_t feed_buffer_length(std::int32_t max_buflen, double nominal_srate);

enum class FeedReplyStatus {
  need_more,              // the header block is still incomplete
  ok,                     // 200 with a usable header: samples follow
  not_found,              // 404: this outlet no longer serves the uid
  version_not_supported,  // 505, or a newer protocol than ours
  refused,                // any other status code
  unsupported,            // a data protocol we cannot read (missing header = 1.00)
  malformed,              // not an LSL reply, oversized, or the wrong uid
};

struct FeedReplyHeader {
  bool big_endian = false;
  int data_protocol_version = 0;
  bool suppress_subnormals = false;
  std::string uid;
};

// Reads the status line and header block of a streamfeed reply, byte chunk by
// byte chunk. After ok, remainder() holds the bytes that followed the header
// (the start of the sample data).
class FeedReplyParser {
 public:
  explicit FeedReplyParser(std::string expected_uid);

  FeedReplyStatus feed(std::string_view bytes);
  // The peer closed the connection: the error status lines carry no line end,
  // so what has arrived so far may be a complete answer.
  FeedReplyStatus finish();

  const FeedReplyHeader &header() const { return header_; }
  std::string_view remainder() const;

 private:
  FeedReplyStatus evaluate(bool at_end);
  FeedReplyStatus parse_status_line(std::string_view line);
  FeedReplyStatus parse_header_lines(std::string_view block);

  std::string expected_uid_;
  std::string buffer_;
  std::size_t remainder_offset_ = 0;
  FeedReplyStatus status_ = FeedReplyStatus::need_more;
  FeedReplyHeader header_;
};

struct StringSample {
  double timestamp = 0.0;
  std::vector<std::string> values;
};

// Decodes the 1.10 encoding of string samples as they trickle in: tag 1 (time
// stamp deduced) or 2 (8-byte time stamp), then per channel a length width of
// 1, 2, 4 or 8 bytes, the length and the content. Anything else, or a string
// longer than the limit, marks the stream as corrupt for good.
class StringSampleDecoder {
 public:
  StringSampleDecoder(std::uint32_t channel_count, bool big_endian,
                      std::uint64_t max_value_bytes = kMaxStringValueBytes);

  // Consumes all of the bytes, appending each completed sample to out. A
  // deduced time stamp is reported as kDeducedTimestamp. Returns false once corrupt.
  bool feed(std::string_view bytes, std::vector<StringSample> &out);
  bool corrupt() const { return state_ == State::corrupt; }

 private:
  enum class State { tag, timestamp, width, length, content, corrupt };
  void begin_channel();
  void finish_value(std::vector<StringSample> &out);
  std::uint64_t scratch_value() const;

  std::uint32_t channel_count_;
  bool big_endian_;
  std::uint64_t max_value_bytes_;
  State state_ = State::tag;
  unsigned char scratch_[8] = {};
  std::size_t scratch_needed_ = 0;
  std::size_t scratch_have_ = 0;
  std::uint64_t content_left_ = 0;
  StringSample current_;
};

// Turns decoded samples into what a consumer sees: checks the two test
// patterns at the start of a connection, then resolves deduced time stamps
// (previous stamp plus one sampling interval; the same stamp for irregular
// streams, starting from 0.0 on every connection).
class FeedSampleStream {
 public:
  FeedSampleStream(std::uint32_t channel_count, double nominal_srate, bool big_endian,
                   std::uint64_t max_value_bytes = kMaxStringValueBytes);

  // Appends the data samples completed by these bytes. False when the bytes
  // are corrupt or a test pattern is wrong; the connection is then useless.
  bool feed(std::string_view bytes, std::vector<StringSample> &out);
  bool test_patterns_verified() const { return patterns_seen_ == 2; }

 private:
  StringSampleDecoder decoder_;
  std::vector<std::string> expected_pattern_;
  double interval_;
  double last_timestamp_ = 0.0;
  int patterns_seen_ = 0;
  bool failed_ = false;
  std::vector<StringSample> scratch_;
};

}  // namespace lsl::core

#endif
