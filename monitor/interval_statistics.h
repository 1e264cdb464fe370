// Statistics of the intervals between markers, on the sender's clock.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace maroquint::monitor {

// How many pulses a stretch of time without markers swallowed: none up to
// 1.5 periods, otherwise the stretch in whole periods (rounded) minus one.
// The one rule for an interval between markers (the marker that ended it is
// the one pulse that did arrive) and for a silence that no marker has ended
// yet (a pulse counts as missed half a period after it was due).
std::int64_t MissedPulses(double interval, double period);

// A gap of missed pulses, ending at marker `index` (1-based).
struct PulseGap {
  std::int64_t index = 0;
  double timestamp = 0.0;  // of the marker that ended the gap
  double interval = 0.0;
  std::int64_t missed = 0;
};

// What an interval is. A gap swallowed pulses; a catch-up is the program's
// next cycle, run at once because the cycle that closed the gap overran its
// period; an interval across a restart of the stream's outlet says nothing
// of the sender's regularity. Only regular intervals measure jitter.
enum class IntervalKind { kRegular, kGap, kCatchUp, kEarly, kRestart };

struct IntervalSummary {
  std::int64_t markers = 0;
  std::int64_t intervals = 0;  // of every kind
  std::int64_t regular = 0;    // the intervals the figures below are taken over
  // The figures below are meaningful only when regular > 0.
  double mean = 0.0;
  double min = 0.0;
  double max = 0.0;
  double std_dev = 0.0;               // sample standard deviation (n - 1); 0 for one interval
  double p99_period_deviation = 0.0;  // nearest-rank 99th percentile of |interval - period|
  std::int64_t missed_pulses = 0;
  std::vector<PulseGap> gaps;
  std::int64_t early = 0;     // intervals under half a period, other than catch-ups
  std::int64_t catch_up = 0;  // intervals under half a period right after a gap
  std::int64_t restart = 0;   // intervals across a restart of the outlet
  std::int64_t GapIntervals() const { return intervals - regular - early - catch_up - restart; }
};

class IntervalStatistics {
 public:
  explicit IntervalStatistics(double period);

  struct Step {
    std::int64_t index = 0;  // 1-based number of this marker
    std::optional<double> interval;
    std::int64_t missed = 0;
    IntervalKind kind = IntervalKind::kRegular;
  };
  // `restarted`: the marker comes from a new outlet of the stream; its
  // interval still counts missed pulses, but not as jitter.
  Step AddMarker(double timestamp, bool restarted = false);
  // The first marker ended a silence that swallowed pulses: a short
  // interval after it is a catch-up, as after a gap.
  void FirstEndedASilence() { after_gap_ = markers_ == 1; }
  // The interval the next marker would close; none before the first marker.
  std::optional<double> IntervalTo(double timestamp) const;

  IntervalSummary Summarize() const;

 private:
  double period_;
  std::int64_t markers_ = 0;
  double previous_ = 0.0;
  bool after_gap_ = false;
  std::int64_t intervals_ = 0;
  // Welford's running mean and squared deviations: stable for long runs of
  // nearly equal intervals, where the naive sum of squares cancels badly.
  double mean_ = 0.0;
  double m2_ = 0.0;
  double min_ = 0.0;
  double max_ = 0.0;
  std::vector<double> deviations_;
  std::int64_t missed_ = 0;
  std::vector<PulseGap> gaps_;
  std::int64_t early_ = 0;
  std::int64_t catch_up_ = 0;
  std::int64_t restart_ = 0;
};

// The time correction estimates seen during a watch, each with the round-trip
// time of the exchange it rests on.
class CorrectionTrack {
 public:
  void Add(double correction, double round_trip);
  std::int64_t Count() const { return count_; }
  double Last() const { return last_; }
  double Min() const { return min_; }
  double Max() const { return max_; }
  double LastRoundTrip() const { return last_round_trip_; }
  double MinRoundTrip() const { return min_round_trip_; }
  double MaxRoundTrip() const { return max_round_trip_; }

 private:
  std::int64_t count_ = 0;
  double last_ = 0.0;
  double min_ = 0.0;
  double max_ = 0.0;
  double last_round_trip_ = 0.0;
  double min_round_trip_ = 0.0;
  double max_round_trip_ = 0.0;
};

}  // namespace maroquint::monitor
