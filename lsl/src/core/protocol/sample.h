// Samples on a streamfeed connection, data protocol 1.10, string channels:
// the encoder the outlet writes with, the incremental decoder the inlet
// reads with, and the two test patterns every connection begins with.
//
// A sample is tag 2 and the 8-byte time stamp (tag 1 and no stamp when the
// receiver is to deduce it), then per channel a length width (1, 2, 4 or 8
// bytes), the length and the bytes.
#pragma once

#include "core/protocol/constants.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace maroquint::lsl::core {

// Appends one sample to `out`, little-endian, with the narrowest length
// width liblsl writes (1 for <= 255, 4 for <= 4294967295, else 8). A time
// stamp of kDeducedTimestamp writes tag 1. Reuses out's capacity: no
// allocation when it suffices.
void AppendStringSample(std::string &out, double timestamp, const std::string_view *channels,
                        std::size_t channel_count);
// Same for C strings (the C API's form).
void AppendStringSample(std::string &out, double timestamp, const char *const *channels,
                        std::size_t channel_count);

// The bytes AppendStringSample writes for these channels with a time stamp.
std::size_t StringSampleSize(const char *const *channels, std::size_t channel_count);

// Channel k's test-pattern text: "10", "-11", "12", "-13", ...
std::string TestPatternValue(std::size_t channel);
// Both test-pattern samples of a string stream (they are identical).
std::string StringTestPatterns(std::size_t channel_count);

void AppendLeDouble(std::string &out, double value);
double ReadLeDouble(const unsigned char *bytes);

struct StringSample {
  double timestamp = 0.0;
  std::vector<std::string> values;
};

// Decodes samples as they trickle in, in either byte order. Anything but
// the two tags and the four widths, or a string longer than the limit,
// marks the stream as corrupt for good.
class StringSampleDecoder {
 public:
  StringSampleDecoder(std::uint32_t channel_count, bool big_endian,
                      std::uint64_t max_value_bytes = kMaxStringValueBytes);

  // Consumes all of the bytes, appending each completed sample to out. A
  // deduced time stamp is reported as kDeducedTimestamp. Returns false once corrupt.
  bool Feed(std::string_view bytes, std::vector<StringSample> &out);
  bool Corrupt() const { return state_ == State::kCorrupt; }

 private:
  enum class State { kTag, kTimestamp, kWidth, kLength, kContent, kCorrupt };
  void BeginChannel();
  void FinishValue(std::vector<StringSample> &out);
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
  bool Feed(std::string_view bytes, std::vector<StringSample> &out);
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

}  // namespace maroquint::lsl::core
