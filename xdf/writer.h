// Writes XDF 1.0, the file format of LabRecorder, as byte strings.
//
// Every function is pure: it returns the bytes of one piece of the file and
// the caller appends them to the file in order. A recording is
//
//   FileHeader()
//   StreamHeader(id, info_xml)             once per stream, before its samples
//   StringSamples / NumericSamples(id, ...) as samples arrive
//   ClockOffset(id, ...)                    every few seconds per stream
//   Boundary()                              every few seconds, lets readers resynchronize
//   StreamFooter(id, ...)                   once per stream, at the end
//
// Numbers are little-endian; lengths use XDF's variable-length integers
// (1, 4 or 8 bytes), the shortest that holds the value, as LabRecorder does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"

namespace maroquint::xdf {

// A sample's time stamp on the sender's clock. std::nullopt writes a deduced
// stamp (previous stamp + 1 / nominal rate), which readers reconstruct.
using TimeStamp = std::optional<double>;

struct StringSample {
  TimeStamp time_stamp;
  std::vector<std::string> values;  // one per channel
};

struct NumericSamples {
  ChannelFormat format = ChannelFormat::kFloat32;
  int channel_count = 1;
  std::vector<TimeStamp> time_stamps;  // one per sample
  std::vector<double> values;  // channel_count per sample, converted to `format` when written
};

// "XDF:" and the FileHeader chunk. `datetime` (e.g. "2026-12-08T10:00:00+0000")
// is written when not empty.
std::string FileHeader(std::string_view datetime = {});

// The StreamHeader chunk: the stream's full info XML as the LSL library gives
// it (an XML declaration is put in front when it has none).
std::string StreamHeader(std::uint32_t stream_id, std::string_view info_xml);

// A Samples chunk of a string stream.
std::string StringSamplesChunk(std::uint32_t stream_id, const std::vector<StringSample> &samples);

// A Samples chunk of a numeric stream (format must not be kString).
std::string NumericSamplesChunk(std::uint32_t stream_id, const NumericSamples &samples);

// A ClockOffset chunk: at `collection_time` on the recorder's clock, the
// stream's time stamps plus `offset_value` gave the recorder's clock.
std::string ClockOffset(std::uint32_t stream_id, double collection_time, double offset_value);

std::string Boundary();

std::string StreamFooter(std::uint32_t stream_id, const FooterInfo &footer);

}  // namespace maroquint::xdf
