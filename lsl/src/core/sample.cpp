#include "core/sample.h"

#include <cstring>
#include <vector>

namespace lsl::core {
namespace {

void append_le(std::string &out, uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i)
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::size_t length_width(uint64_t length) {
  if (length <= 0xff) return 1;
  if (length <= 0xffffffffULL) return 4;
  return 8;
}

template <typename Get>
void append_sample(std::string &out, double timestamp, std::size_t channel_count, Get get) {
  if (timestamp == kDeducedTimestamp) {
    out.push_back(static_cast<char>(kTagDeducedTimestamp));
  } else {
    out.push_back(static_cast<char>(kTagTimestamp));
    append_le_double(out, timestamp);
  }
  for (std::size_t k = 0; k < channel_count; ++k) {
    std::string_view value = get(k);
    auto width = length_width(value.size());
    out.push_back(static_cast<char>(width));
    append_le(out, value.size(), width);
    out.append(value.data(), value.size());
  }
}

}  // namespace

void append_le_double(std::string &out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  append_le(out, bits, 8);
}

double read_le_double(const unsigned char *bytes) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | bytes[i];
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void append_string_sample(std::string &out, double timestamp, const std::string_view *channels,
                          std::size_t channel_count) {
  append_sample(out, timestamp, channel_count, [&](std::size_t k) { return channels[k]; });
}

void append_string_sample(std::string &out, double timestamp, const char *const *channels,
                          std::size_t channel_count) {
  append_sample(out, timestamp, channel_count,
                [&](std::size_t k) { return std::string_view(channels[k]); });
}

std::string test_pattern_value(std::size_t channel) {
  auto magnitude = std::to_string(channel + 10);
  return channel % 2 == 0 ? magnitude : "-" + magnitude;
}

std::string string_test_patterns(std::size_t channel_count) {
  std::vector<std::string> values;
  values.reserve(channel_count);
  for (std::size_t k = 0; k < channel_count; ++k) values.push_back(test_pattern_value(k));
  std::vector<std::string_view> views(values.begin(), values.end());
  std::string one;
  append_string_sample(one, kTestPatternTimestamp, views.data(), views.size());
  return one + one;
}

}  // namespace lsl::core
