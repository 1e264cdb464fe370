// The experiment's events (markers of other LSL streams than the
// synchronization's) placed on the EEG samples through the mapping, and
// written as a BIDS events file with its sidecar. Pure: no files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/json.h"
#include "mapping.h"

namespace maroquint::align {

struct EventStream {
  std::string name;
  std::vector<double> times;        // LSL clock, clock offsets applied
  std::vector<std::string> values;  // per time: the marker's text or number
};

struct PlacedEvent {
  double onset_s;  // EEG seconds from the first sample, fractional
  std::int64_t sample;
  std::size_t stream;  // index into the streams
  std::string value;
};

struct StreamCount {
  std::string name;
  std::size_t events = 0;
  std::size_t placed = 0;
  std::size_t before = 0;  // before the EEG's first sample
  std::size_t after = 0;   // after its last
};

struct PlacedEvents {
  std::vector<PlacedEvent> events;  // by onset
  std::vector<StreamCount> counts;  // per stream
};

// Each event's nearest sample under the mapping; events before the first
// sample, or more than half a sample after the last, are counted, not
// placed.
PlacedEvents PlaceEvents(const std::vector<EventStream> &streams, const Mapping &mapping,
                         std::int64_t samples);

// A value as a TSV cell: backslash, tab, new line and carriage return
// become \\, \t, \n and \r, so that every row keeps its columns.
std::string EscapeTsvValue(const std::string &value);

// onset, duration (n/a), sample, value, trial_type (the value), stream.
std::string EventsTsv(const PlacedEvents &events, const std::vector<EventStream> &streams);

// The sidecar: what each column holds, the escaping, the mapping used.
base::Json EventsSidecarJson(const Mapping &mapping);

}  // namespace maroquint::align
