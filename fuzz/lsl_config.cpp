// lsl_api.cfg: any file a user or a package leaves on the machine. Whatever
// it says, the settings it yields must keep the library's loops finite.
#include "core/config.h"
#include "core/resolve_session.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace maroquint::lsl::core;
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto parsed = ParseConfig(text);
  const Config &config = parsed.config;
  const auto addresses = ScopeAddressesFor(config);
  for (const auto &address : addresses.ipv4) IsIpv6Literal(address);
  if (config.port_range < 1 || config.base_port + config.port_range - 1 > 65535) std::abort();

  // A resolver sends the waves due at one instant in a loop: a multicast
  // wave, and a unicast one when known peers are set, never more.
  ResolveSession session("", 0, 1000.0, 5.0, ResolveSettingsFor(config));
  for (double now : {1000.0, 1002.5}) {
    int waves = 0;
    while (session.TakeDueWave(now))
      if (++waves > 2) std::abort();
  }
  return 0;
}
