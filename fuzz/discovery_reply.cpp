// A datagram on a resolver's reply socket: anyone may send one.
#include "core/protocol/discovery.h"
#include "core/resolve_session.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace maroquint::lsl::core;
  const std::string_view datagram(reinterpret_cast<const char *>(data), size);
  ResolveSession session("session_id='default' and type='Markers'", 1, 0.0, 5.0, {});
  session.OnReply(datagram, "127.0.0.1", false);
  // The recorded replies answer a query with this id; a reply that is
  // readable under it must name a stream the resolver keeps.
  const auto info = ParseShortinfoReply(datagram, "4311744890628545484");
  if (!info) return 0;
  if (info->name.empty() || info->uid.empty()) std::abort();
  ResolveSession fresh("type='Markers'", 1, 0.0, 5.0, {});
  std::string renamed(datagram);
  renamed.replace(0, renamed.find('\n'), fresh.QueryId());
  if (!fresh.OnReply(renamed, "::1", true) || fresh.Results().at(0).uid != info->uid) std::abort();
  return 0;
}
