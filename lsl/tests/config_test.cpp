#include "core/config.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace maroquint::lsl::core {
namespace {

using Strings = std::vector<std::string>;

TEST(ConfigParse, EmptyTextGivesLiblslsDefaults) {
  auto r = ParseConfig("");
  EXPECT_TRUE(r.errors.empty());
  const auto &c = r.config;
  EXPECT_EQ(c.multicast_port, 16571);
  EXPECT_EQ(c.base_port, 16572);
  EXPECT_EQ(c.port_range, 32);
  EXPECT_TRUE(c.allow_random_ports);
  EXPECT_EQ(c.ipv6, IPv6Mode::kAllow);
  EXPECT_EQ(c.resolve_scope, ResolveScope::kSite);
  EXPECT_EQ(c.session_id, "default");
  EXPECT_DOUBLE_EQ(c.multicast_min_rtt, 0.5);
  EXPECT_EQ(c.time_probe_count, 8);
  EXPECT_DOUBLE_EQ(c.watchdog_check_interval, 15.0);
}

TEST(ConfigParse, ReadsTheProjectsMachineScopeFile) {
  std::ifstream in(std::string(LSL_TOOLS_DIR) + "/lsl_machine_scope.cfg");
  ASSERT_TRUE(in);
  std::stringstream text;
  text << in.rdbuf();
  auto r = ParseConfig(text.str());
  EXPECT_TRUE(r.errors.empty());
  EXPECT_EQ(r.config.resolve_scope, ResolveScope::kMachine);
  EXPECT_EQ(r.config.interfaces, Strings{"127.0.0.1"});
  EXPECT_EQ(r.config.listen_address, "127.0.0.1");
  EXPECT_EQ(r.config.ipv6, IPv6Mode::kDisable);
  auto where = ScopeAddressesFor(r.config);
  EXPECT_EQ(where.ipv4, Strings{"127.0.0.1"});
  EXPECT_TRUE(where.ipv6.empty());
  EXPECT_EQ(where.ttl, 0);
}

// liblsl's keys for what this library leaves out are ignored silently.
TEST(ConfigParse, ReadsEveryKeyWithSetsCommentsAndCase) {
  auto r = ParseConfig(
      "; a comment\n"
      "# another\n"
      "[ports]\r\n"
      "MulticastPort = 17000\n"
      "BasePort=18000\n"
      "PortRange = 8 ; trailing comment\n"
      "AllowRandomPorts = false\n"
      "IPv6 = force\n"
      "[multicast]\n"
      "ResolveScope = organization\n"
      "OrganizationAddresses = {239.1.2.3, 239.1.2.4}\n"
      "Interfaces = {10.0.0.1,10.0.0.2}\n"
      "ListenAddress = 10.0.0.1\n"
      "AddressesOverride = {}\n"
      "TTLOverride = 3\n"
      "[lab]\n"
      "SessionID = lab7\n"
      "KnownPeers = {host-a, 192.168.1.9}\n"
      "[tuning]\n"
      "MulticastMinRTT = 0.25\n"
      "TimeProbeCount = 12\n"
      "ForceDefaultTimestamps = 1\n"
      "TimeUpdateInterval = 7\n"
      "UseProtocolVersion = 100\n"
      "MulticastMaxRTT = 9\n"
      "UnicastMaxRTT = 9\n"
      "ContinuousResolveInterval = 9\n"
      "UnknownKey = whatever\n");
  EXPECT_TRUE(r.errors.empty()) << r.errors.front();
  const auto &c = r.config;
  EXPECT_EQ(c.multicast_port, 17000);
  EXPECT_EQ(c.base_port, 18000);
  EXPECT_EQ(c.port_range, 8);
  EXPECT_FALSE(c.allow_random_ports);
  EXPECT_EQ(c.ipv6, IPv6Mode::kForce);
  EXPECT_EQ(c.resolve_scope, ResolveScope::kOrganization);
  EXPECT_EQ(c.organization_addresses, (Strings{"239.1.2.3", "239.1.2.4"}));
  EXPECT_EQ(c.interfaces, (Strings{"10.0.0.1", "10.0.0.2"}));
  EXPECT_EQ(c.listen_address, "10.0.0.1");
  EXPECT_TRUE(c.addresses_override.empty());
  EXPECT_EQ(c.ttl_override, 3);
  EXPECT_EQ(c.session_id, "lab7");
  EXPECT_EQ(c.known_peers, (Strings{"host-a", "192.168.1.9"}));
  EXPECT_DOUBLE_EQ(c.multicast_min_rtt, 0.25);
  EXPECT_EQ(c.time_probe_count, 12);
  EXPECT_TRUE(c.force_default_timestamps);
  EXPECT_EQ(c.time_update_interval, 7.0);
  EXPECT_EQ(c.unicast_min_rtt, Config{}.unicast_min_rtt);
}

TEST(ConfigParse, BadValuesAreReportedAndKeepTheirDefaults) {
  auto r = ParseConfig(
      "[ports]\n"
      "MulticastPort = 99999\n"
      "IPv6 = sometimes\n"
      "BasePort = 17000\n"
      "this line has no equals sign\n"
      "[multicast\n"
      "ResolveScope = machine\n"
      "[multicast]\n"
      "Interfaces = {10.0.0.1\n"
      "TTLOverride = many\n");
  EXPECT_EQ(r.errors.size(), 6u);
  for (const auto &e : r.errors) EXPECT_EQ(e.rfind("line ", 0), 0u) << e;
  const auto &c = r.config;
  EXPECT_EQ(c.multicast_port, 16571);
  EXPECT_EQ(c.ipv6, IPv6Mode::kAllow);
  EXPECT_EQ(c.base_port, 17000);
  EXPECT_EQ(c.resolve_scope, ResolveScope::kSite) << "a key under a broken header is not applied";
  EXPECT_TRUE(c.interfaces.empty());
  EXPECT_FALSE(c.ttl_override);
}

TEST(ConfigParse, BinaryGarbageNeverThrows) {
  std::string junk;
  for (int i = 0; i < 5000; ++i) junk += static_cast<char>((i * 7919) % 256);
  auto r = ParseConfig(junk);
  EXPECT_FALSE(r.errors.empty());
  EXPECT_EQ(r.config.multicast_port, 16571);
  EXPECT_FALSE(ParseConfig(std::string(2 << 20, 'x')).errors.empty());
}

TEST(ScopeAddresses, DefaultSiteScopeInLiblslsOrder) {
  auto a = ScopeAddressesFor(Config{});
  EXPECT_EQ(a.ipv4, (Strings{"127.0.0.1", "255.255.255.255", "224.0.0.1", "224.0.0.183",
                             "239.255.172.215"}));
  EXPECT_EQ(a.ipv6, (Strings{"FF02:113D:6FDD:2C17:A643:FFE2:1BD1:3CD2",
                             "FF05:113D:6FDD:2C17:A643:FFE2:1BD1:3CD2"}));
  EXPECT_EQ(a.ttl, 24);
}

TEST(ScopeAddresses, EachScopeAddsToTheNarrowerOnes) {
  Config c;
  c.resolve_scope = ResolveScope::kLink;
  auto link = ScopeAddressesFor(c);
  EXPECT_EQ(link.ipv4, (Strings{"127.0.0.1", "255.255.255.255", "224.0.0.1", "224.0.0.183"}));
  EXPECT_EQ(link.ttl, 1);
  c.resolve_scope = ResolveScope::kGlobal;
  auto global = ScopeAddressesFor(c);
  EXPECT_EQ(global.ipv6.size(), 4u);
  EXPECT_EQ(global.ipv6.back(), "FF0E:113D:6FDD:2C17:A643:FFE2:1BD1:3CD2");
  EXPECT_EQ(global.ttl, 255);
  c.resolve_scope = ResolveScope::kOrganization;
  EXPECT_EQ(ScopeAddressesFor(c).ttl, 32);
}

TEST(ScopeAddresses, OverridesAndIPv6Mode) {
  Config c;
  c.addresses_override = {"127.0.0.1", "::1"};
  c.ttl_override = 0;
  auto a = ScopeAddressesFor(c);
  EXPECT_EQ(a.ipv4, Strings{"127.0.0.1"});
  EXPECT_EQ(a.ipv6, Strings{"::1"});
  EXPECT_EQ(a.ttl, 0);
  c.ipv6 = IPv6Mode::kDisable;
  EXPECT_TRUE(ScopeAddressesFor(c).ipv6.empty());
  c.ipv6 = IPv6Mode::kForce;
  EXPECT_TRUE(ScopeAddressesFor(c).ipv4.empty());
}

}  // namespace
}  // namespace maroquint::lsl::core
