#include "core/config.h"

#include "core/stream_info.h"
#include "core/text.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>

namespace lsl::core {
namespace {

// liblsl writes sets as {a, b, c}; a bare value counts as a one-element set.
std::optional<std::vector<std::string>> parse_set(std::string_view value) {
  value = trim(value);
  if (!value.empty() && value.front() == '{') {
    if (value.back() != '}') return std::nullopt;
    value = value.substr(1, value.size() - 2);
  } else if (!value.empty() && value.back() == '}') {
    return std::nullopt;
  }
  std::vector<std::string> items;
  while (true) {
    auto comma = value.find(',');
    auto item = trim(value.substr(0, comma));
    if (!item.empty())
      items.emplace_back(item);
    else if (comma != std::string_view::npos)
      return std::nullopt;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return items;
}

std::optional<bool> parse_bool(std::string_view value) {
  auto v = lower(trim(value));
  if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
  if (v == "0" || v == "false" || v == "no" || v == "off") return false;
  return std::nullopt;
}

using Setter = std::function<bool(Config &, std::string_view)>;

Setter int_in(int Config::*field, int64_t lo, int64_t hi) {
  return [=](Config &c, std::string_view v) {
    auto n = parse_int(v);
    if (!n || *n < lo || *n > hi) return false;
    c.*field = static_cast<int>(*n);
    return true;
  };
}

Setter port(uint16_t Config::*field) {
  return [=](Config &c, std::string_view v) {
    auto n = parse_int(v);
    if (!n || *n < 1 || *n > 65535) return false;
    c.*field = static_cast<uint16_t>(*n);
    return true;
  };
}

Setter seconds(double Config::*field) {
  return [=](Config &c, std::string_view v) {
    auto d = parse_double(v);
    if (!d || !(*d >= 0.0) || *d > 1e6) return false;
    c.*field = *d;
    return true;
  };
}

Setter boolean(bool Config::*field) {
  return [=](Config &c, std::string_view v) {
    auto b = parse_bool(v);
    if (!b) return false;
    c.*field = *b;
    return true;
  };
}

Setter set_of(std::vector<std::string> Config::*field) {
  return [=](Config &c, std::string_view v) {
    auto s = parse_set(v);
    if (!s) return false;
    c.*field = std::move(*s);
    return true;
  };
}

Setter text(std::string Config::*field) {
  return [=](Config &c, std::string_view v) {
    c.*field = std::string(trim(v));
    return true;
  };
}

const std::map<std::string, Setter> &setters() {
  static const std::map<std::string, Setter> table = {
      {"ports.multicastport", port(&Config::multicast_port)},
      {"ports.baseport", port(&Config::base_port)},
      {"ports.portrange", int_in(&Config::port_range, 1, 65535)},
      {"ports.allowrandomports", boolean(&Config::allow_random_ports)},
      {"ports.ipv6",
       [](Config &c, std::string_view v) {
         auto m = lower(trim(v));
         if (m == "allow" || m == "allowed")
           c.ipv6 = IPv6Mode::allow;
         else if (m == "disable" || m == "disabled")
           c.ipv6 = IPv6Mode::disable;
         else if (m == "force" || m == "forced")
           c.ipv6 = IPv6Mode::force;
         else
           return false;
         return true;
       }},
      {"multicast.resolvescope",
       [](Config &c, std::string_view v) {
         auto s = lower(trim(v));
         if (s == "machine")
           c.resolve_scope = ResolveScope::machine;
         else if (s == "link")
           c.resolve_scope = ResolveScope::link;
         else if (s == "site")
           c.resolve_scope = ResolveScope::site;
         else if (s == "organization")
           c.resolve_scope = ResolveScope::organization;
         else if (s == "global")
           c.resolve_scope = ResolveScope::global;
         else
           return false;
         return true;
       }},
      {"multicast.machineaddresses", set_of(&Config::machine_addresses)},
      {"multicast.linkaddresses", set_of(&Config::link_addresses)},
      {"multicast.siteaddresses", set_of(&Config::site_addresses)},
      {"multicast.organizationaddresses", set_of(&Config::organization_addresses)},
      {"multicast.globaladdresses", set_of(&Config::global_addresses)},
      {"multicast.ipv6multicastgroup", text(&Config::ipv6_multicast_group)},
      {"multicast.addressesoverride", set_of(&Config::addresses_override)},
      {"multicast.ttloverride",
       [](Config &c, std::string_view v) {
         auto n = parse_int(v);
         if (!n || *n < 0 || *n > 255) return false;
         c.ttl_override = static_cast<int>(*n);
         return true;
       }},
      {"multicast.interfaces", set_of(&Config::interfaces)},
      {"multicast.listenaddress", text(&Config::listen_address)},
      {"lab.sessionid", text(&Config::session_id)},
      {"lab.knownpeers", set_of(&Config::known_peers)},
      {"tuning.useprotocolversion", int_in(&Config::use_protocol_version, 100, 110)},
      {"tuning.multicastminrtt", seconds(&Config::multicast_min_rtt)},
      {"tuning.multicastmaxrtt", seconds(&Config::multicast_max_rtt)},
      {"tuning.unicastminrtt", seconds(&Config::unicast_min_rtt)},
      {"tuning.unicastmaxrtt", seconds(&Config::unicast_max_rtt)},
      {"tuning.continuousresolveinterval", seconds(&Config::continuous_resolve_interval)},
      {"tuning.watchdogcheckinterval", seconds(&Config::watchdog_check_interval)},
      {"tuning.watchdogtimethreshold", seconds(&Config::watchdog_time_threshold)},
      {"tuning.timeprobecount", int_in(&Config::time_probe_count, 1, 1000)},
      {"tuning.timeprobeinterval", seconds(&Config::time_probe_interval)},
      {"tuning.timeprobemaxrtt", seconds(&Config::time_probe_max_rtt)},
      {"tuning.timeupdateminprobes", int_in(&Config::time_update_min_probes, 1, 1000)},
      {"tuning.timeupdateinterval", seconds(&Config::time_update_interval)},
      {"tuning.forcedefaulttimestamps", boolean(&Config::force_default_timestamps)},
  };
  return table;
}

constexpr std::size_t kMaxConfigBytes = 1 << 20;

}  // namespace

ConfigParseResult parse_config(std::string_view text) {
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
    line = trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        result.errors.push_back(where + "malformed section header");
        section = "\x01";  // keys up to the next good header are ignored
        continue;
      }
      section = lower(trim(line.substr(1, line.size() - 2)));
      continue;
    }
    auto eq = line.find('=');
    if (eq == std::string_view::npos) {
      result.errors.push_back(where + "expected 'Key = value'");
      continue;
    }
    auto key = trim(line.substr(0, eq));
    auto value = trim(line.substr(eq + 1));
    // Trailing comments after a value, as the INI reader liblsl uses allows.
    for (auto pos = value.find_first_of(";#"); pos != std::string_view::npos;
         pos = value.find_first_of(";#", pos + 1)) {
      if (pos == 0 || std::isspace(static_cast<unsigned char>(value[pos - 1]))) {
        value = trim(value.substr(0, pos));
        break;
      }
    }
    if (key.empty()) {
      result.errors.push_back(where + "empty key");
      continue;
    }
    if (section == "\x01") continue;
    auto full = section + "." + lower(key);
    auto it = setters().find(full);
    if (it == setters().end()) continue;  // unknown keys are liblsl's or nobody's
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

bool is_ipv6_literal(std::string_view address) {
  return address.find(':') != std::string_view::npos;
}

ScopeAddresses scope_addresses(const Config &config) {
  ScopeAddresses out;
  const auto scope = static_cast<int>(config.resolve_scope);
  std::vector<std::string> all;
  auto add = [&](const std::vector<std::string> &list) {
    all.insert(all.end(), list.begin(), list.end());
  };
  auto group6 = [&](const char *prefix) { all.push_back(prefix + config.ipv6_multicast_group); };
  add(config.machine_addresses);
  out.ttl = 0;
  if (scope >= static_cast<int>(ResolveScope::link)) {
    add(config.link_addresses);
    group6("FF02:");
    out.ttl = 1;
  }
  if (scope >= static_cast<int>(ResolveScope::site)) {
    add(config.site_addresses);
    group6("FF05:");
    out.ttl = 24;
  }
  if (scope >= static_cast<int>(ResolveScope::organization)) {
    add(config.organization_addresses);
    group6("FF08:");
    out.ttl = 32;
  }
  if (scope >= static_cast<int>(ResolveScope::global)) {
    add(config.global_addresses);
    group6("FF0E:");
    out.ttl = 255;
  }
  if (!config.addresses_override.empty()) all = config.addresses_override;
  if (config.ttl_override) out.ttl = *config.ttl_override;
  for (auto &a : all) {
    auto &list = is_ipv6_literal(a) ? out.ipv6 : out.ipv4;
    if (std::find(list.begin(), list.end(), a) == list.end()) list.push_back(a);
  }
  if (config.ipv6 == IPv6Mode::disable) out.ipv6.clear();
  if (config.ipv6 == IPv6Mode::force) out.ipv4.clear();
  return out;
}

}  // namespace lsl::core
