// Stream-info XML as a consumer receives it (discovery replies, fullinfo).
// What is accepted must survive being written out and read back, since the
// C API hands the document on to programs that parse it again.
#include "core/stream_info.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void CheckSame(const maroquint::lsl::core::StreamInfo &a,
               const maroquint::lsl::core::StreamInfo &b) {
  if (a.name != b.name || a.type != b.type || a.channel_count != b.channel_count ||
      a.channel_format != b.channel_format || a.source_id != b.source_id || a.uid != b.uid ||
      a.session_id != b.session_id || a.hostname != b.hostname || a.v4address != b.v4address ||
      a.v6address != b.v6address || a.v4data_port != b.v4data_port ||
      a.v4service_port != b.v4service_port || a.v6data_port != b.v6data_port ||
      a.v6service_port != b.v6service_port)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view xml(reinterpret_cast<const char *>(data), size);
  const auto info = maroquint::lsl::core::ParseXml(xml);
  if (!info) return 0;
  const auto from_full = maroquint::lsl::core::ParseXml(maroquint::lsl::core::ToFullXml(*info));
  const auto from_short = maroquint::lsl::core::ParseXml(maroquint::lsl::core::ToShortXml(*info));
  if (!from_full || !from_short) std::abort();
  CheckSame(*info, *from_full);
  CheckSame(*info, *from_short);
  return 0;
}
