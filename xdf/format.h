// What the XDF writer and reader share: chunk tags, channel formats, the
// boundary chunk's bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace maroquint::xdf {

enum class Tag : std::uint16_t {
  kFileHeader = 1,
  kStreamHeader = 2,
  kSamples = 3,
  kClockOffset = 4,
  kBoundary = 5,
  kStreamFooter = 6,
};

// The content of every Boundary chunk: a reader that lost its place in a
// damaged file searches for these bytes.
inline constexpr std::string_view kBoundaryBytes{
    "\x43\xA5\x46\xDC\xCB\xF5\x41\x0F\xB3\x0E\xD5\x46\x73\x83\xCB\xE4", 16};

inline constexpr std::string_view kMagic{"XDF:"};

enum class ChannelFormat { kFloat32, kDouble64, kString, kInt8, kInt16, kInt32, kInt64 };

// What a StreamFooter chunk tells about its stream.
struct FooterInfo {
  double first_timestamp = 0;
  double last_timestamp = 0;
  std::uint64_t sample_count = 0;
  struct Offset {
    double time;   // collection time, recorder's clock
    double value;  // add to the stream's time stamps to get the recorder's clock
  };
  std::vector<Offset> clock_offsets;
};

// The XDF name of a channel format ("float32", "int16", "string", ...) and back.
std::string_view FormatName(ChannelFormat format);
std::optional<ChannelFormat> ParseFormat(std::string_view name);
int FormatSize(ChannelFormat format);  // bytes per value; 0 for kString

// A double as text that reads back to the same value, independent of locale.
std::string FormatDouble(double value);

}  // namespace maroquint::xdf
