#pragma once

// The streams of the XDF files the align tests write with the project's
// writer: their header chunks, as a recorder writes them.

#include <cstdint>
#include <string>
#include <vector>

#include "writer.h"

namespace maroquint::align::test {

constexpr char kMarker[] = "/Experiment Control/Synchronization/Trigger/Biosemi";

// The header chunk of a stream of `format` at `rate` Hz (0: irregular), of
// one channel per label or, without labels, of `channels` channels.
inline std::string StreamHeaderOf(std::uint32_t id, const std::string &name,
                                  const std::string &type, const std::string &format, int rate,
                                  const std::vector<std::string> &labels, int channels = 1) {
  std::string xml = "<info><name>" + name + "</name><type>" + type + "</type><channel_count>" +
                    std::to_string(labels.empty() ? channels : static_cast<int>(labels.size())) +
                    "</channel_count><nominal_srate>" + std::to_string(rate) +
                    "</nominal_srate><channel_format>" + format + "</channel_format>";
  if (!labels.empty()) {
    xml += "<desc><channels>";
    for (const std::string &label : labels)
      xml += "<channel><label>" + label + "</label></channel>";
    xml += "</channels></desc>";
  }
  return xdf::StreamHeader(id, xml + "</info>");
}

// The header chunk of a marker stream: one channel of strings.
inline std::string MarkerStreamHeader(std::uint32_t id, const std::string &name) {
  return StreamHeaderOf(id, name, "Markers", "string", 0, {});
}

}  // namespace maroquint::align::test
