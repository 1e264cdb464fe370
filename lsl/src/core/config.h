// Settings that shape what goes on the wire, read from liblsl's INI file
// format so that one lsl_api.cfg serves both this library and liblsl.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace maroquint::lsl::core {

enum class IPv6Mode { kAllow, kDisable, kForce };

// Each scope includes the narrower ones.
enum class ResolveScope { kMachine, kLink, kSite, kOrganization, kGlobal };

struct Config {
  uint16_t multicast_port = 16571;
  uint16_t base_port = 16572;
  int port_range = 32;
  bool allow_random_ports = true;
  IPv6Mode ipv6 = IPv6Mode::kAllow;

  ResolveScope resolve_scope = ResolveScope::kSite;
  std::vector<std::string> machine_addresses{"127.0.0.1"};
  std::vector<std::string> link_addresses{"255.255.255.255", "224.0.0.1", "224.0.0.183"};
  std::vector<std::string> site_addresses{"239.255.172.215"};
  std::vector<std::string> organization_addresses;
  std::vector<std::string> global_addresses;
  std::string ipv6_multicast_group = "113D:6FDD:2C17:A643:FFE2:1BD1:3CD2";
  // Replace the scope's address list / TTL when set (an empty override set
  // counts as not set, as in liblsl).
  std::vector<std::string> addresses_override;
  std::optional<int> ttl_override;
  // Local interface addresses used for group joins and multicast sends;
  // empty = let the system choose.
  std::vector<std::string> interfaces;
  // Address the outlet's sockets bind to; empty = wildcard.
  std::string listen_address;

  std::string session_id = "default";
  std::vector<std::string> known_peers;

  // liblsl's UseProtocolVersion, MulticastMaxRTT, UnicastMaxRTT and
  // ContinuousResolveInterval are not read: this library speaks 1.10 only
  // and offers no continuous resolver, where the others apply.
  double multicast_min_rtt = 0.5;
  double unicast_min_rtt = 0.75;
  double watchdog_check_interval = 15.0;
  double watchdog_time_threshold = 15.0;
  int time_probe_count = 8;
  double time_probe_interval = 0.064;
  double time_probe_max_rtt = 0.128;
  int time_update_min_probes = 6;
  double time_update_interval = 2.0;
  bool force_default_timestamps = false;

  // Time limits of the data connection that lsl_api.cfg does not set: how
  // long a peer may take to send its request (and to take the reply), and
  // how long an inlet waits for the outlet's handshake.
  double request_timeout = 10.0;
  double handshake_timeout = 10.0;
};

struct ConfigParseResult {
  Config config;
  // One human-readable message per problem; a key with a bad value keeps
  // its default, every other key is still honoured.
  std::vector<std::string> errors;
};

// Never throws; text of any content and size yields a usable Config.
ConfigParseResult ParseConfig(std::string_view text);

// Where discovery queries go (resolver) and which groups a responder joins
// (outlet), for the configured scope, in liblsl's order.
struct ScopeAddresses {
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
  int ttl = 0;
};
ScopeAddresses ScopeAddressesFor(const Config &config);

bool IsIpv6Literal(std::string_view address);

}  // namespace maroquint::lsl::core
