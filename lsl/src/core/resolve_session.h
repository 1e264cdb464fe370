// One resolve as a schedule of discovery query waves driven by explicit
// time. Results are keyed by uid and carry the address the reply came from.
#pragma once

#include "core/config.h"
#include "core/stream_info.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace maroquint::lsl::core {

// Distinct streams one resolve keeps; replies beyond are dropped.
constexpr std::size_t kMaxResolveResults = 4096;

enum class WaveKind {
  // to the scope's addresses at the multicast port
  kMulticast,
  // to every port of the range on each KnownPeers host
  kUnicast
};

struct ResolveSettings {
  double multicast_min_rtt = 0.5;
  double unicast_min_rtt = 0.75;
  bool unicast_waves = false;
};
ResolveSettings ResolveSettingsFor(const Config &config);

class ResolveSession {
 public:
  static constexpr double kForever = std::numeric_limits<double>::infinity();

  // Ends at start + timeout, or as soon as `minimum` (> 0) distinct streams
  // are known and start + minimum_time has passed.
  ResolveSession(std::string query, int minimum, double start, double timeout,
                 ResolveSettings settings, double minimum_time = 0.0);

  const std::string &Query() const { return query_; }
  const std::string &QueryId() const { return query_id_; }

  // The wave due at `now`, if any; each wave is handed out once.
  std::optional<WaveKind> TakeDueWave(double now);
  // When the next wave is due or the resolve ends, whichever comes first.
  double NextWakeup() const;

  // A datagram that arrived from source_ip; true when it named a new stream.
  bool OnReply(std::string_view datagram, std::string_view source_ip, bool ipv6);
  bool Done(double now) const;
  std::size_t Found() const { return results_.size(); }
  // Ordered by uid.
  std::vector<StreamInfo> Results() const;

 private:
  std::string query_;
  std::string query_id_;
  int minimum_;
  double end_;
  double earliest_end_;
  ResolveSettings settings_;
  double next_multicast_;
  double next_unicast_ = kForever;
  std::map<std::string, StreamInfo> results_;
};

}  // namespace maroquint::lsl::core
