// A datagram on the outlet's discovery port (multicast or unicast, from any
// host): dispatch, the shortinfo request, the query it carries, and the reply.
// A consumer must read that reply back as this stream.
#include "core/protocol/discovery.h"
#include "core/query.h"
#include "transcript_stream.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace maroquint::lsl::core;
  const std::string_view datagram(reinterpret_cast<const char *>(data), size);
  if (ClassifyDatagram(datagram) != DatagramKind::kShortinfo) return 0;
  const auto request = ParseShortinfoQuery(datagram);
  if (!request) return 0;
  // What a resolver of this library would send for it reads the same.
  const auto again = ParseShortinfoQuery(FormatShortinfoQuery(*request));
  if (!again || again->query != request->query || again->reply_port != request->reply_port ||
      again->query_id != request->query_id)
    std::abort();
  const StreamInfo &info = maroquint::fuzz::TranscriptStream();
  if (!Query::Compile(request->query).Matches(info)) return 0;
  const auto reply = FormatShortinfoReply(request->query_id, ToShortXml(info));
  const auto seen = ParseShortinfoReply(reply, request->query_id);
  if (!seen || seen->uid != info.uid) std::abort();
  return 0;
}
