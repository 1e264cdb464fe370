// The stream of the recorded transcripts, read from the document its outlet
// sent for LSL:fullinfo (desc included), so that queries and requests under
// test meet a declaration as a real outlet makes it.
#pragma once

#include "core/stream_info.h"

#include <cstdlib>
#include <string_view>

namespace maroquint::fuzz {

inline constexpr std::string_view kTranscriptUid = "63872864-b28e-47cc-b59d-43105981592e";

inline const maroquint::lsl::core::StreamInfo &TranscriptStream() {
  static const maroquint::lsl::core::StreamInfo kInfo = [] {
    auto parsed = maroquint::lsl::core::ParseXml(
        "<?xml version=\"1.0\"?>\n<info>\n\t<name>TranscriptTest</name>\n\t<type>Markers</type>\n"
        "\t<channel_count>1</channel_count>\n\t<channel_format>string</channel_format>\n"
        "\t<source_id>transcript-source-1</source_id>\n"
        "\t<nominal_srate>0.000000000000000</nominal_srate>\n"
        "\t<version>1.100000000000000</version>\n\t<created_at>1362.336449254000</created_at>\n"
        "\t<uid>63872864-b28e-47cc-b59d-43105981592e</uid>\n\t<session_id>default</session_id>\n"
        "\t<hostname>vm</hostname>\n\t<v4address></v4address>\n"
        "\t<v4data_port>16572</v4data_port>\n\t<v4service_port>16572</v4service_port>\n"
        "\t<v6address></v6address>\n\t<v6data_port>16573</v6data_port>\n"
        "\t<v6service_port>16573</v6service_port>\n"
        "\t<desc>\n\t\t<note>capture run</note>\n\t</desc>\n</info>\n");
    if (!parsed) std::abort();
    return *parsed;
  }();
  return kInfo;
}

}  // namespace maroquint::fuzz
