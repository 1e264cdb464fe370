#include "check_bits.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "base/stats.h"

namespace maroquint::align {

double TriggerWindow(const std::vector<std::int64_t> &trigger_onsets, double rate) {
  double window = 0.5;
  for (std::size_t i = 1; i < trigger_onsets.size(); ++i) {
    window = std::min(window,
                      0.5 * static_cast<double>(trigger_onsets[i] - trigger_onsets[i - 1]) / rate);
  }
  return window;
}

TriggerChecks CheckAgainstTriggers(const PlacedEvents &events,
                                   const std::vector<std::int64_t> &trigger_onsets, double rate) {
  TriggerChecks out;
  out.window_s = TriggerWindow(trigger_onsets, rate);
  std::vector<std::vector<double>> latencies(events.counts.size());
  for (const StreamCount &count : events.counts) {
    TriggerCheck check;
    check.stream = count.name;
    out.streams.push_back(check);
  }
  for (const PlacedEvent &e : events.events) {
    if (e.stream >= out.streams.size()) continue;
    TriggerCheck &check = out.streams[e.stream];
    ++check.events;
    // A trigger's edge lies half a sample before its onset sample on
    // average, as the mapping's `a` allows for the pulse's.
    const double position = e.onset_s * rate + 0.5;
    const auto next = std::lower_bound(
        trigger_onsets.begin(), trigger_onsets.end(), position,
        [](std::int64_t onset, double p) { return static_cast<double>(onset) < p; });
    double best = HUGE_VAL;
    if (next != trigger_onsets.end()) best = position - static_cast<double>(*next);
    if (next != trigger_onsets.begin()) {
      const double before = position - static_cast<double>(*(next - 1));
      if (std::fabs(before) < std::fabs(best)) best = before;
    }
    const double latency = best / rate;
    if (std::fabs(latency) <= out.window_s) {
      latencies[e.stream].push_back(latency);
      ++check.matched;
    } else {
      check.unmatched_onsets_s.push_back(e.onset_s);
    }
  }
  for (std::size_t s = 0; s < out.streams.size(); ++s) {
    std::vector<double> &l = latencies[s];
    if (l.empty()) continue;
    TriggerCheck &check = out.streams[s];
    std::sort(l.begin(), l.end());
    const std::size_t n = l.size();
    check.median_s = n % 2 ? l[n / 2] : 0.5 * (l[n / 2 - 1] + l[n / 2]);
    check.min_s = l.front();
    check.max_s = l.back();
    std::vector<double> magnitude(n);
    std::transform(l.begin(), l.end(), magnitude.begin(), [](double x) { return std::fabs(x); });
    check.max_abs_s = std::max(std::fabs(check.min_s), std::fabs(check.max_s));
    // Of 100 events the 99th, of fewer the largest.
    check.p99_abs_s = base::NearestRankPercentile(std::move(magnitude), 0.99);
  }
  return out;
}

base::Result<std::uint64_t, MaskError> ParseMask(const std::string &text) {
  const auto not_a_mask =
      base::Fail(MaskError::kNotAMask, text + ": a mask of bits, decimal or 0x hexadecimal, not 0");
  if (text.empty() || text[0] == '-' || text[0] == '+') return not_a_mask;
  char *end = nullptr;
  errno = 0;
  // Base 16 after 0x, else 10: a leading 0 is no octal here.
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned long long value = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || value == 0 || value >> 63 != 0) return not_a_mask;
  return std::uint64_t{value};
}

}  // namespace maroquint::align
