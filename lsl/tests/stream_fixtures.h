// The string marker stream of the recorded liblsl transcripts, as this
// library describes it: the declaration the core and inlet tests build on,
// and the markers of its recorded data connection.
#pragma once

#include "core/stream_info.h"

#include <string>
#include <utility>
#include <vector>

namespace maroquint::lsl::test {

inline const std::string kTranscriptUid = "63872864-b28e-47cc-b59d-43105981592e";

inline core::StreamInfo TranscriptInfo() {
  core::StreamInfo info;
  info.name = "TranscriptTest";
  info.type = "Markers";
  info.channel_count = 1;
  info.channel_format = core::ChannelFormat::kString;
  info.source_id = "transcript-source-1";
  info.created_at = 1362.336449254;
  info.uid = kTranscriptUid;
  info.session_id = "default";
  info.hostname = "vm";
  info.v4data_port = 16572;
  info.v4service_port = 16572;
  info.v6data_port = 16573;
  info.v6service_port = 16573;
  return info;
}

// The markers of transcript 04's data connection and their time stamps, in
// order; the later samples of its chunk carry deduced stamps, which on an
// irregular stream are the chunk's own.
inline const std::vector<std::pair<std::string, double>> &Transcript04Markers() {
  static const std::vector<std::pair<std::string, double>> kMarkers{
      {"start", 1364.855880282},
      {"explicit-ts", 1000.5},
      {"", 1001.25},
      {std::string(300, 'L'), 1002.0},
      {"caf\xc3\xa9-\xe2\x9c\x93", 1003.0},
      {"chunk-a", 1004.0},
      {"chunk-b", 1004.0},
      {"chunk-c", 1004.0},
      {"tick-0", 2000.0},
      {"tick-1", 2001.0},
  };
  return kMarkers;
}

}  // namespace maroquint::lsl::test
