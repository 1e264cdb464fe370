#include "core/config.h"

#include "core/stream_info.h"
#include "core/text.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

namespace maroquint::lsl::core {
namespace {

// liblsl writes sets as {a, b, c}; a bare value counts as a one-element set.
std::optional<std::vector<std::string>> ParseSet(std::string_view value) {
  value = Trim(value);
  if (!value.empty() && value.front() == '{') {
    if (value.back() != '}') return std::nullopt;
    value = value.substr(1, value.size() - 2);
  } else if (!value.empty() && value.back() == '}') {
    return std::nullopt;
  }
  std::vector<std::string> items;
  while (true) {
    auto comma = value.find(',');
    auto item = Trim(value.substr(0, comma));
    if (!item.empty())
      items.emplace_back(item);
    else if (comma != std::string_view::npos)
      return std::nullopt;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

std::optional<bool> ParseBool(std::string_view value) {
  auto v = Lower(Trim(value));
  if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off") return false;
  return std::nullopt;
}

using Setter = std::function<bool(Config &, std::string_view)>;

Setter IntIn(int Config::*field, int64_t lo, int64_t hi) {
  return [=](Config &c, std::string_view v) {
    auto n = ParseInt(v);
    if (!n || *n < lo || *n > hi) return false;
    c.*field = static_cast<int>(*n);
    return true;
  };
}

Setter Port(uint16_t Config::*field) {
  return [=](Config &c, std::string_view v) {
    auto n = ParseInt(v);
    if (!n || *n < 1 || *n > 65535) return false;
    c.*field = static_cast<uint16_t>(*n);
    return true;
  };
}

Setter Seconds(double Config::*field) {
  return [=](Config &c, std::string_view v) {
    auto d = ParseDouble(v);
    if (!d || !(*d >= 0.0) || *d > 1e6) return false;
    c.*field = *d;
    return true;
  };
}

Setter Boolean(bool Config::*field) {
  return [=](Config &c, std::string_view v) {
    auto b = ParseBool(v);
    if (!b) return false;
    c.*field = *b;
    return true;
  };
}

Setter SetOf(std::vector<std::string> Config::*field) {
  return [=](Config &c, std::string_view v) {
    auto s = ParseSet(v);
    if (!s) return false;
    c.*field = std::move(*s);
    return true;
  };
}

Setter Text(std::string Config::*field) {
  return [=](Config &c, std::string_view v) {
    c.*field = std::string(Trim(v));
    return true;
  };
}

const std::map<std::string, Setter> &Setters() {
  static const std::map<std::string, Setter> kTable = {
      {"ports.multicastport", Port(&Config::multicast_port)},
      {"ports.baseport", Port(&Config::base_port)},
      {"ports.portrange", IntIn(&Config::port_range, 1, 65535)},
      {"ports.allowrandomports", Boolean(&Config::allow_random_ports)},
      {"ports.ipv6",
       [](Config &c, std::string_view v) {
         auto m = Lower(Trim(v));
         if (m == "allow" || m == "allowed")
           c.ipv6 = IPv6Mode::kAllow;
         else if (m == "disable" || m == "disabled")
           c.ipv6 = IPv6Mode::kDisable;
         else if (m == "force" || m == "forced")
           c.ipv6 = IPv6Mode::kForce;
         else
           return false;
         return true;
       }},
      {"multicast.resolvescope",
       [](Config &c, std::string_view v) {
         auto s = Lower(Trim(v));
         if (s == "machine")
           c.resolve_scope = ResolveScope::kMachine;
         else if (s == "link")
           c.resolve_scope = ResolveScope::kLink;
         else if (s == "site")
           c.resolve_scope = ResolveScope::kSite;
         else if (s == "organization")
           c.resolve_scope = ResolveScope::kOrganization;
         else if (s == "global")
           c.resolve_scope = ResolveScope::kGlobal;
         else
           return false;
         return true;
       }},
      {"multicast.machineaddresses", SetOf(&Config::machine_addresses)},
      {"multicast.linkaddresses", SetOf(&Config::link_addresses)},
      {"multicast.siteaddresses", SetOf(&Config::site_addresses)},
      {"multicast.organizationaddresses", SetOf(&Config::organization_addresses)},
      {"multicast.globaladdresses", SetOf(&Config::global_addresses)},
      {"multicast.ipv6multicastgroup", Text(&Config::ipv6_multicast_group)},
      {"multicast.addressesoverride", SetOf(&Config::addresses_override)},
      {"multicast.ttloverride",
       [](Config &c, std::string_view v) {
         auto n = ParseInt(v);
         if (!n || *n < 0 || *n > 255) return false;
         c.ttl_override = static_cast<int>(*n);
         return true;
       }},
      {"multicast.interfaces", SetOf(&Config::interfaces)},
      {"multicast.listenaddress", Text(&Config::listen_address)},
      {"lab.sessionid", Text(&Config::session_id)},
      {"lab.knownpeers", SetOf(&Config::known_peers)},
      {"tuning.multicastminrtt", Seconds(&Config::multicast_min_rtt)},
      {"tuning.unicastminrtt", Seconds(&Config::unicast_min_rtt)},
      {"tuning.watchdogcheckinterval", Seconds(&Config::watchdog_check_interval)},
      {"tuning.watchdogtimethreshold", Seconds(&Config::watchdog_time_threshold)},
      {"tuning.timeprobecount", IntIn(&Config::time_probe_count, 1, 1000)},
      {"tuning.timeprobeinterval", Seconds(&Config::time_probe_interval)},
      {"tuning.timeprobemaxrtt", Seconds(&Config::time_probe_max_rtt)},
      {"tuning.timeupdateminprobes", IntIn(&Config::time_update_min_probes, 1, 1000)},
      {"tuning.timeupdateinterval", Seconds(&Config::time_update_interval)},
      {"tuning.forcedefaulttimestamps", Boolean(&Config::force_default_timestamps)},
  };
  return kTable;
}

constexpr std::size_t kMaxConfigBytes = 1 << 20;

}  // namespace

ConfigParseResult ParseConfig(std::string_view text) {
  ConfigParseResult result;
  if (text.size() > kMaxConfigBytes) {
    result.errors.push_back("configuration larger than 1 MiB, ignored");
    return result;
  }
  std::string section;
  std::size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    auto eol = text.find('\n');
    auto line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    auto where = "line " + std::to_string(line_no) + ": ";
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        result.errors.push_back(where + "malformed section header");
        section = "\x01";  // keys up to the next good header are ignored
        continue;
      }
      section = Lower(Trim(line.substr(1, line.size() - 2)));
      continue;
    }
    auto eq = line.find('=');
    if (eq == std::string_view::npos) {
      result.errors.push_back(where + "expected 'Key = value'");
      continue;
    }
    auto key = Trim(line.substr(0, eq));
    auto value = Trim(line.substr(eq + 1));
    // Trailing comments after a value, as the INI reader liblsl uses allows.
    for (auto pos = value.find_first_of(";#"); pos != std::string_view::npos;
         pos = value.find_first_of(";#", pos + 1)) {
      if (pos == 0 || std::isspace(static_cast<unsigned char>(value[pos - 1]))) {
        value = Trim(value.substr(0, pos));
        break;
      }
    }
    if (key.empty()) {
      result.errors.push_back(where + "empty key");
      continue;
    }
    if (section == "\x01") continue;
    auto full = section + "." + Lower(key);
    auto it = Setters().find(full);
    if (it == Setters().end()) continue;  // unknown keys are liblsl's or nobody's
    if (!it->second(result.config, value))
      result.errors.push_back(where + "bad value '" + std::string(value) + "' for " +
                              std::string(key) + ", default kept");
  }
  if (result.config.base_port + result.config.port_range - 1 > 65535) {
    result.errors.push_back("BasePort + PortRange exceeds 65535, defaults kept");
    result.config.base_port = Config{}.base_port;
    result.config.port_range = Config{}.port_range;
  }
  return result;
}

bool IsIpv6Literal(std::string_view address) {
  return address.find(':') != std::string_view::npos;
}

ScopeAddresses ScopeAddressesFor(const Config &config) {
  ScopeAddresses out;
  const auto scope = static_cast<int>(config.resolve_scope);
  std::vector<std::string> all;
  auto add = [&](const std::vector<std::string> &list) {
    all.insert(all.end(), list.begin(), list.end());
  };
  auto group6 = [&](const char *prefix) { all.push_back(prefix + config.ipv6_multicast_group); };
  add(config.machine_addresses);
  out.ttl = 0;
  if (scope >= static_cast<int>(ResolveScope::kLink)) {
    add(config.link_addresses);
    group6("FF02:");
    out.ttl = 1;
  }
  if (scope >= static_cast<int>(ResolveScope::kSite)) {
    add(config.site_addresses);
    group6("FF05:");
    out.ttl = 24;
  }
  if (scope >= static_cast<int>(ResolveScope::kOrganization)) {
    add(config.organization_addresses);
    group6("FF08:");
    out.ttl = 32;
  }
  if (scope >= static_cast<int>(ResolveScope::kGlobal)) {
    add(config.global_addresses);
    group6("FF0E:");
    out.ttl = 255;
  }
  if (!config.addresses_override.empty()) all = config.addresses_override;
  if (config.ttl_override) out.ttl = *config.ttl_override;
  for (auto &a : all) {
    auto &list = IsIpv6Literal(a) ? out.ipv6 : out.ipv4;
    if (std::find(list.begin(), list.end(), a) == list.end()) list.push_back(a);
  }
  if (config.ipv6 == IPv6Mode::kDisable) out.ipv6.clear();
  if (config.ipv6 == IPv6Mode::kForce) out.ipv4.clear();
  return out;
}

}  // namespace maroquint::lsl::core
