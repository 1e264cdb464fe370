#include "core/resolve_session.h"

#include "core/protocol/discovery.h"

#include <algorithm>

namespace maroquint::lsl::core {
namespace {

// The shortest time between two waves of one resolve, in seconds.
constexpr double kMinWaveGap = 0.01;

}  // namespace

ResolveSettings ResolveSettingsFor(const Config &config) {
  ResolveSettings s;
  s.multicast_min_rtt = config.multicast_min_rtt;
  s.unicast_min_rtt = config.unicast_min_rtt;
  s.unicast_waves = !config.known_peers.empty();
  return s;
}

ResolveSession::ResolveSession(std::string query, int minimum, double start, double timeout,
                               ResolveSettings settings, double minimum_time)
    : query_(std::move(query)),
      query_id_(MakeQueryId(query_)),
      minimum_(minimum),
      end_(start + std::max(0.0, timeout)),
      earliest_end_(start + std::max(0.0, minimum_time)),
      settings_(settings),
      next_multicast_(start) {}

std::optional<WaveKind> ResolveSession::TakeDueWave(double now) {
  if (now >= next_unicast_) {
    next_unicast_ = kForever;
    return WaveKind::kUnicast;
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
    return WaveKind::kMulticast;
  }
  return std::nullopt;
}

double ResolveSession::NextWakeup() const {
  return std::min({next_multicast_, next_unicast_, end_});
}

bool ResolveSession::OnReply(std::string_view datagram, std::string_view source_ip, bool ipv6) {
  std::optional<StreamInfo> info = ParseShortinfoReply(datagram, query_id_);
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

bool ResolveSession::Done(double now) const {
  if (now >= end_) return true;
  return minimum_ > 0 && results_.size() >= static_cast<std::size_t>(minimum_) &&
         now >= earliest_end_;
}

std::vector<StreamInfo> ResolveSession::Results() const {
  std::vector<StreamInfo> out;
  out.reserve(results_.size());
  for (const auto &entry : results_) out.push_back(entry.second);
  return out;
}

}  // namespace maroquint::lsl::core
