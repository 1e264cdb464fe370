// The experiment's events against the hardware triggers that the
// presentation software sent to the amplifier on other bits: how far each
// LSL event lies from its trigger onset. Pure: takes EEG times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "events.h"

namespace maroquint::align {

struct TriggerCheck {
  std::string stream;
  std::size_t events = 0;
  std::size_t matched = 0;
  // Event minus trigger, in seconds: the median, the 99th percentile of
  // the magnitude, and the extremes.
  double median_s = 0;
  double p99_abs_s = 0;
  double max_abs_s = 0;
  double min_s = 0;
  double max_s = 0;
  std::vector<double> unmatched_onsets_s;  // the events without trigger, EEG seconds
};

struct TriggerChecks {
  double window_s = 0;  // how far an event may be from its trigger
  std::vector<TriggerCheck> streams;
};

// The window: half the smallest interval between trigger onsets, at most
// 0.5 s.
double TriggerWindow(const std::vector<std::int64_t> &trigger_onsets, double rate);

// Each placed event against the trigger onset (sample indices) nearest to
// it within the window; the trigger's time is half a sample before its
// onset sample, where its edge lies on average.
TriggerChecks CheckAgainstTriggers(const PlacedEvents &events,
                                   const std::vector<std::int64_t> &trigger_onsets, double rate);

enum class MaskError {
  kNotAMask,  // not a whole number of 1 to 63 bits, decimal or after 0x
};

// Parses "0xFE" or "254".
base::Result<std::uint64_t, MaskError> ParseMask(const std::string &text);

}  // namespace maroquint::align
