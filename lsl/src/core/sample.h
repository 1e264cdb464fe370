// Sample encoding of data protocol 1.10 (string channels) and the two test
// patterns every streamfeed handshake begins with.
#ifndef LSL_CORE_SAMPLE_H
#define LSL_CORE_SAMPLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lsl::core {

constexpr uint8_t kTagDeducedTimestamp = 1;
constexpr uint8_t kTagTimestamp = 2;
constexpr double kDeducedTimestamp = -1.0;
constexpr double kTestPatternTimestamp = 123456.789;

// Appends one sample to `out`: tag 2 and the little-endian time stamp (tag 1
// and no stamp when timestamp is kDeducedTimestamp), then per channel a
// length-width byte (1 for <= 255, 4 for <= 4294967295, else 8), the
// little-endian length and the bytes. Reuses out's capacity: no allocation
// when it suffices.
void append_string_sample(std::string &out, double timestamp, const std::string_view *channels,
                          std::size_t channel_count);
// Same for C strings (the C API's form).
void append_string_sample(std::string &out, double timestamp, const char *const *channels,
                          std::size_t channel_count);

// Channel k's test-pattern text: "10", "-11", "12", "-13", ...
std::string test_pattern_value(std::size_t channel);
// Both test-pattern samples of a string stream (they are identical).
std::string string_test_patterns(std::size_t channel_count);

void append_le_double(std::string &out, double value);
double read_le_double(const unsigned char *bytes);

}  // namespace lsl::core

#endif
