#include "core/discovery_client.h"

#include <algorithm>

namespace lsl::core {
namespace {

// The shortest time between two waves of one resolve, in seconds.
constexpr double kMinWaveGap = 0.01;

}  // namespace

std::string format_shortinfo_query(std::string_view query, uint16_t reply_port,
                                   std::string_view query_id) {
  std::string out;
  out.reserve(32 + query.size() + query_id.size());
  out += "LSL:shortinfo\r\n";
  out += query;
  out += "\r\n";
  out += std::to_string(reply_port);
  out += ' ';
  out += query_id;
  out += "\r\n";
  return out;
}

std::string make_query_id(std::string_view query) {
  // FNV-1a: stable across compilers and platforms, unlike std::hash.
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : query) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return std::to_string(h);
}

std::optional<StreamInfo> parse_shortinfo_reply(std::string_view datagram,
                                                std::string_view query_id) {
  const std::size_t eol = datagram.find('\n');
  if (eol == std::string_view::npos) return std::nullopt;
  std::string_view id = datagram.substr(0, eol);
  while (!id.empty() && (id.back() == '\r' || id.back() == ' ' || id.back() == '\t'))
    id.remove_suffix(1);
  if (id != query_id) return std::nullopt;
  return parse_xml(datagram.substr(eol + 1));
}

ResolveSettings resolve_settings(const Config &config) {
  ResolveSettings s;
  s.multicast_min_rtt = config.multicast_min_rtt;
  s.unicast_min_rtt = config.unicast_min_rtt;
  s.unicast_waves = !config.known_peers.empty();
  return s;
}

ResolveSession::ResolveSession(std::string query, int minimum, double start, double timeout,
                               ResolveSettings settings, double minimum_time)
    : query_(std::move(query)),
      query_id_(make_query_id(query_)),
      minimum_(minimum),
      start_(start),
      end_(start + std::max(0.0, timeout)),
      earliest_end_(start + std::max(0.0, minimum_time)),
      settings_(settings),
      next_multicast_(start) {}

std::optional<WaveKind> ResolveSession::take_due_wave(double now) {
  if (now >= next_unicast_) {
    next_unicast_ = kForever;
    return WaveKind::unicast;
  }
  if (now >= next_multicast_) {
    // A configured round trip of 0 (or one too small to move the clock)
    // would make every wave due again at once, and the caller, which takes
    // waves until none is due, would send for ever.
    const double multicast_rtt = std::max(settings_.multicast_min_rtt, kMinWaveGap);
    const double unicast_rtt = std::max(settings_.unicast_min_rtt, kMinWaveGap);
    if (settings_.unicast_waves) {
      next_unicast_ = now + multicast_rtt;
      next_multicast_ = now + multicast_rtt + unicast_rtt;
    } else {
      next_multicast_ = now + multicast_rtt;
    }
    return WaveKind::multicast;
  }
  return std::nullopt;
}

double ResolveSession::next_wakeup() const {
  return std::min({next_multicast_, next_unicast_, end_});
}

bool ResolveSession::on_reply(std::string_view datagram, std::string_view source_ip, bool ipv6) {
  std::optional<StreamInfo> info = parse_shortinfo_reply(datagram, query_id_);
  if (!info) return false;
  auto it = results_.find(info->uid);
  const bool is_new = it == results_.end();
  if (is_new) {
    if (results_.size() >= kMaxResolveResults) return false;
    it = results_.emplace(info->uid, std::move(*info)).first;
  }
  std::string &address = ipv6 ? it->second.v6address : it->second.v4address;
  if (address.empty()) address = std::string(source_ip);
  return is_new;
}

bool ResolveSession::done(double now) const {
  if (now >= end_) return true;
  return minimum_ > 0 && results_.size() >= static_cast<std::size_t>(minimum_) &&
         now >= earliest_end_;
}

std::vector<StreamInfo> ResolveSession::results() const {
  std::vector<StreamInfo> out;
  out.reserve(results_.size());
  for (const auto &entry : results_) out.push_back(entry.second);
  return out;
}

}  // namespace lsl::core
