#include "core/protocol/sample.h"

#include <algorithm>
#include <cstring>

namespace maroquint::lsl::core {
namespace {

void AppendLe(std::string &out, uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::size_t LengthWidth(uint64_t length) {
  if (length <= 0xff) return 1;
  if (length <= 0xffffffffULL) return 4;
  return 8;
}

template <typename Get>
void AppendSample(std::string &out, double timestamp, std::size_t channel_count, Get get) {
  if (timestamp == kDeducedTimestamp) {
    out.push_back(static_cast<char>(kTagDeducedTimestamp));
  } else {
    out.push_back(static_cast<char>(kTagTimestamp));
    AppendLeDouble(out, timestamp);
  }
  for (std::size_t k = 0; k < channel_count; ++k) {
    std::string_view value = get(k);
    auto width = LengthWidth(value.size());
    out.push_back(static_cast<char>(width));
    AppendLe(out, value.size(), width);
    out.append(value.data(), value.size());
  }
}

}  // namespace

void AppendLeDouble(std::string &out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  AppendLe(out, bits, 8);
}

double ReadLeDouble(const unsigned char *bytes) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | bytes[i];
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void AppendStringSample(std::string &out, double timestamp, const std::string_view *channels,
                        std::size_t channel_count) {
  AppendSample(out, timestamp, channel_count, [&](std::size_t k) { return channels[k]; });
}

void AppendStringSample(std::string &out, double timestamp, const char *const *channels,
                        std::size_t channel_count) {
  AppendSample(out, timestamp, channel_count,
               [&](std::size_t k) { return std::string_view(channels[k]); });
}

std::size_t StringSampleSize(const char *const *channels, std::size_t channel_count) {
  std::size_t size = 1 + 8;
  for (std::size_t k = 0; k < channel_count; ++k) {
    const std::size_t length = std::strlen(channels[k]);
    size += 1 + LengthWidth(length) + length;
  }
  return size;
}

std::string TestPatternValue(std::size_t channel) {
  auto magnitude = std::to_string(channel + 10);
  return channel % 2 == 0 ? magnitude : "-" + magnitude;
}

std::string StringTestPatterns(std::size_t channel_count) {
  std::vector<std::string> values;
  values.reserve(channel_count);
  for (std::size_t k = 0; k < channel_count; ++k) values.push_back(TestPatternValue(k));
  std::vector<std::string_view> views(values.begin(), values.end());
  std::string one;
  AppendStringSample(one, kTestPatternTimestamp, views.data(), views.size());
  return one + one;
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

void StringSampleDecoder::FinishValue(std::vector<StringSample> &out) {
  if (current_.values.size() == channel_count_) {
    out.push_back(std::move(current_));
    current_ = StringSample{};
    state_ = State::kTag;
  } else {
    BeginChannel();
  }
}

bool StringSampleDecoder::Feed(std::string_view bytes, std::vector<StringSample> &out) {
  std::size_t i = 0;
  while (i < bytes.size() && state_ != State::kCorrupt) {
    switch (state_) {
      case State::kTag: {
        const unsigned char tag = static_cast<unsigned char>(bytes[i++]);
        current_ = StringSample{};
        current_.values.reserve(channel_count_);
        if (tag == kTagTimestamp) {
          state_ = State::kTimestamp;
          scratch_needed_ = 8;
          scratch_have_ = 0;
        } else if (tag == kTagDeducedTimestamp) {
          current_.timestamp = kDeducedTimestamp;
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
          current_.values.back().reserve(
              static_cast<std::size_t>(std::min<std::uint64_t>(content_left_, 65536)));
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

FeedSampleStream::FeedSampleStream(std::uint32_t channel_count, double nominal_srate,
                                   bool big_endian, std::uint64_t max_value_bytes)
    : decoder_(channel_count, big_endian, max_value_bytes),
      expected_pattern_(channel_count),
      interval_(nominal_srate > 0.0 ? 1.0 / nominal_srate : 0.0) {
  for (std::uint32_t k = 0; k < channel_count; ++k) expected_pattern_[k] = TestPatternValue(k);
}

bool FeedSampleStream::Feed(std::string_view bytes, std::vector<StringSample> &out) {
  if (failed_) return false;
  scratch_.clear();
  if (!decoder_.Feed(bytes, scratch_)) failed_ = true;
  for (StringSample &s : scratch_) {
    if (patterns_seen_ < 2) {
      if (s.timestamp != kTestPatternTimestamp || s.values != expected_pattern_) {
        failed_ = true;
        return false;
      }
      ++patterns_seen_;
      continue;
    }
    if (s.timestamp == kDeducedTimestamp) s.timestamp = last_timestamp_ + interval_;
    last_timestamp_ = s.timestamp;
    out.push_back(std::move(s));
  }
  return !failed_;
}

}  // namespace maroquint::lsl::core
