// A datagram on the outlet's discovery port (multicast or unicast, from any
// host): dispatch, the shortinfo request, the query it carries, and the reply.
// A consumer must read that reply back as this stream.
#include "core/discovery_client.h"
#include "core/outlet_protocol.h"
#include "core/query.h"
#include "transcript_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace lsl::core;
  const std::string_view datagram(reinterpret_cast<const char *>(data), size);
  if (classify_datagram(datagram) != DatagramKind::shortinfo) return 0;
  const auto request = parse_shortinfo_request(datagram);
  if (!request) return 0;
  const StreamInfo &info = fuzz::TranscriptStream();
  if (!Query::compile(request->query).matches(info)) return 0;
  const auto reply = format_shortinfo_reply(request->query_id, to_short_xml(info));
  const auto seen = parse_shortinfo_reply(reply, request->query_id);
  if (!seen || seen->uid != info.uid) std::abort();
  return 0;
}
