// The string marker stream of the recorded liblsl transcripts, as this
// library describes it: the declaration the core and inlet tests build on.
#pragma once

#include "core/stream_info.h"

#include <string>

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

}  // namespace maroquint::lsl::test
