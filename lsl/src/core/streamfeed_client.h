// Consumer side of the TCP data connection (LSL:streamfeed/110): the request
// an inlet sends, the reply header it expects, and the incremental decoder
// for string samples that follow. No sockets and no clock reads: bytes go in,
// samples come out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lsl::core {

// The data protocol this consumer speaks; replies announcing a newer one are refused.
constexpr int kFeedProtocolVersion = 110;
// Time stamp both test-pattern samples carry.
constexpr double kTestPatternTimestamp = 123456.789;
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
std::string BuildFeedRequest(const FeedRequest& request);

// Samples the outlet may queue for us: max_buflen is hundreds of samples for an
// irregular stream and seconds for a regular one.
std::int32_t FeedBufferLength(std::int32_t max_buflen, double nominal_srate);

enum class FeedReplyStatus {
  kNeedMore,             // the header block is still incomplete
  kOk,                   // 200 with a usable header: samples follow
  kNotFound,             // 404: this outlet no longer serves the uid
  kVersionNotSupported,  // 505, or a newer protocol than ours
  kRefused,              // any other status code
  kUnsupported,          // a data protocol we cannot read (missing header = 1.00)
  kMalformed,            // not an LSL reply, oversized, or the wrong uid
};

struct FeedReplyHeader {
  bool big_endian = false;
  int data_protocol_version = 0;
  bool suppress_subnormals = false;
  std::string uid;
};

// Reads the status line and header block of a streamfeed reply, byte chunk by
// byte chunk. After kOk, Remainder() holds the bytes that followed the header
// (the start of the sample data).
class FeedReplyParser {
 public:
  explicit FeedReplyParser(std::string expected_uid);

  FeedReplyStatus Feed(std::string_view bytes);
  // The peer closed the connection: the error status lines carry no line end,
  // so what has arrived so far may be a complete answer.
  FeedReplyStatus Finish();

  const FeedReplyHeader& Header() const { return header_; }
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
  // deduced time stamp is reported as kDeduced. Returns false once corrupt.
  bool Feed(std::string_view bytes, std::vector<StringSample>& out);
  bool Corrupt() const { return state_ == State::kCorrupt; }

  static constexpr double kDeduced = -1.0;

 private:
  enum class State { kTag, kTimestamp, kWidth, kLength, kContent, kCorrupt };
  void BeginChannel();
  void FinishValue(std::vector<StringSample>& out);
  std::uint64_t ScratchValue() const;

  std::uint32_t channel_count_;
  bool big_endian_;
  std::uint64_t max_value_bytes_;
  State state_ = State::kTag;
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
  bool Feed(std::string_view bytes, std::vector<StringSample>& out);
  bool TestPatternsVerified() const { return patterns_seen_ == 2; }

 private:
  StringSampleDecoder decoder_;
  std::vector<std::string> expected_pattern_;
  double interval_;
  double last_timestamp_ = 0.0;
  int patterns_seen_ = 0;
  bool failed_ = false;
  std::vector<StringSample> scratch_;
};

// Channel values of a string test-pattern sample: "10", "-11", "12", ...
std::vector<std::string> StringTestPattern(std::uint32_t channel_count);

}  // namespace lsl::core
