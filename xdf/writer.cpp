#include "writer.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace maroquint::xdf {
namespace {

template <typename T>
void AppendLittleEndian(std::string &out, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  // The project builds for little-endian targets only (x86, x86-64), where
  // memory order is already the file's order.
  out.append(reinterpret_cast<const char *>(bytes), sizeof(T));
}

void AppendVarLen(std::string &out, std::uint64_t value) {
  if (value <= 0xFF) {
    out.push_back(1);
    out.push_back(static_cast<char>(value));
  } else if (value <= 0xFFFFFFFFu) {
    out.push_back(4);
    AppendLittleEndian(out, static_cast<std::uint32_t>(value));
  } else {
    out.push_back(8);
    AppendLittleEndian(out, value);
  }
}

std::string Chunk(Tag tag, std::string_view content) {
  std::string out;
  out.reserve(content.size() + 11);
  AppendVarLen(out, content.size() + 2);
  AppendLittleEndian(out, static_cast<std::uint16_t>(tag));
  out.append(content);
  return out;
}

std::string StreamChunk(Tag tag, std::uint32_t stream_id, std::string_view content) {
  std::string body;
  body.reserve(content.size() + 4);
  AppendLittleEndian(body, stream_id);
  body.append(content);
  return Chunk(tag, body);
}

void AppendTimeStamp(std::string &out, const TimeStamp &stamp) {
  if (stamp) {
    out.push_back(8);
    AppendLittleEndian(out, *stamp);
  } else {
    out.push_back(0);
  }
}

// Converts as a C cast would, but saturates instead of overflowing and
// rounds to nearest: values written by a test or a simulated device are
// meant as integers already.
template <typename Int>
Int ToInt(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kLow = static_cast<double>(std::numeric_limits<Int>::min());
  constexpr double kHigh = static_cast<double>(std::numeric_limits<Int>::max());
  if (value <= kLow) return std::numeric_limits<Int>::min();
  if (value >= kHigh) return std::numeric_limits<Int>::max();
  return static_cast<Int>(std::llround(value));
}

void AppendValue(std::string &out, ChannelFormat format, double value) {
  switch (format) {
    case ChannelFormat::kFloat32:
      AppendLittleEndian(out, static_cast<float>(value));
      break;
    case ChannelFormat::kDouble64:
      AppendLittleEndian(out, value);
      break;
    case ChannelFormat::kInt8:
      AppendLittleEndian(out, ToInt<std::int8_t>(value));
      break;
    case ChannelFormat::kInt16:
      AppendLittleEndian(out, ToInt<std::int16_t>(value));
      break;
    case ChannelFormat::kInt32:
      AppendLittleEndian(out, ToInt<std::int32_t>(value));
      break;
    case ChannelFormat::kInt64:
      AppendLittleEndian(out, ToInt<std::int64_t>(value));
      break;
    case ChannelFormat::kString:
      break;
  }
}

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\"?>";

}  // namespace

std::string FileHeader(std::string_view datetime) {
  std::string xml{kDeclaration};
  xml += "<info><version>1.0</version>";
  if (!datetime.empty()) {
    xml += "<datetime>";
    xml += datetime;
    xml += "</datetime>";
  }
  xml += "</info>";
  return std::string{kMagic} + Chunk(Tag::kFileHeader, xml);
}

std::string StreamHeader(std::uint32_t stream_id, std::string_view info_xml) {
  if (info_xml.substr(0, 5) == "<?xml") return StreamChunk(Tag::kStreamHeader, stream_id, info_xml);
  std::string xml{kDeclaration};
  xml += info_xml;
  return StreamChunk(Tag::kStreamHeader, stream_id, xml);
}

std::string StringSamplesChunk(std::uint32_t stream_id, const std::vector<StringSample> &samples) {
  std::string body;
  AppendVarLen(body, samples.size());
  for (const StringSample &sample : samples) {
    AppendTimeStamp(body, sample.time_stamp);
    for (const std::string &value : sample.values) {
      AppendVarLen(body, value.size());
      body += value;
    }
  }
  return StreamChunk(Tag::kSamples, stream_id, body);
}

std::string NumericSamplesChunk(std::uint32_t stream_id, const NumericSamples &samples) {
  std::string body;
  const std::size_t channels = samples.channel_count > 0 ? samples.channel_count : 0;
  const std::size_t count =
      channels == 0 ? 0 : std::min(samples.time_stamps.size(), samples.values.size() / channels);
  body.reserve(10 + count * (9 + channels * FormatSize(samples.format)));
  AppendVarLen(body, count);
  for (std::size_t i = 0; i < count; ++i) {
    AppendTimeStamp(body, samples.time_stamps[i]);
    for (std::size_t c = 0; c < channels; ++c) {
      AppendValue(body, samples.format, samples.values[i * channels + c]);
    }
  }
  return StreamChunk(Tag::kSamples, stream_id, body);
}

std::string ClockOffset(std::uint32_t stream_id, double collection_time, double offset_value) {
  std::string body;
  AppendLittleEndian(body, collection_time);
  AppendLittleEndian(body, offset_value);
  return StreamChunk(Tag::kClockOffset, stream_id, body);
}

std::string Boundary() {
  return Chunk(Tag::kBoundary, kBoundaryBytes);
}

std::string StreamFooter(std::uint32_t stream_id, const FooterInfo &footer) {
  std::string xml{kDeclaration};
  xml += "<info><first_timestamp>" + FormatDouble(footer.first_timestamp) +
         "</first_timestamp><last_timestamp>" + FormatDouble(footer.last_timestamp) +
         "</last_timestamp><sample_count>" + std::to_string(footer.sample_count) +
         "</sample_count><clock_offsets>";
  for (const FooterInfo::Offset &offset : footer.clock_offsets) {
    xml += "<offset><time>" + FormatDouble(offset.time) + "</time><value>" +
           FormatDouble(offset.value) + "</value></offset>";
  }
  xml += "</clock_offsets></info>";
  return StreamChunk(Tag::kStreamFooter, stream_id, xml);
}

}  // namespace maroquint::xdf
