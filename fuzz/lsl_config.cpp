// lsl_api.cfg: any file a user or a package leaves on the machine.
#include "core/config.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto parsed = lsl::core::parse_config(text);
  const auto addresses = lsl::core::scope_addresses(parsed.config);
  for (const auto &address : addresses.ipv4) lsl::core::is_ipv6_literal(address);
  return 0;
}
