// What maroquint-align does after the fit for the experiment: the mapping
// in one line or in segments, the events on the EEG samples, their check
// against hardware triggers; and how these read in the report and the
// JSON. Pure: main writes the files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/json.h"
#include "check_bits.h"
#include "events.h"
#include "mapping.h"
#include "pairing.h"
#include "segments.h"

namespace maroquint::align {

struct Experiment {
  SegmentFit segments;
  Mapping mapping;  // the fit's line, or the segments when it does not hold
  bool has_events = false;
  PlacedEvents events;
  std::optional<TriggerChecks> checks;
  std::uint64_t check_mask = 0;
  std::size_t check_onsets = 0;
};

// The segments of the fit's pairs (outliers left out); the events placed
// by the mapping when `events` is given; checked against `check_onsets`
// when `check_mask` is not 0.
Experiment PlaceExperiment(const Alignment &result, double rate, std::int64_t samples,
                           const std::vector<EventStream> *events,
                           const std::vector<std::int64_t> &check_onsets, std::uint64_t check_mask);

// What changes the meaning of the fit's a and b: a mapping in segments,
// and a search for them stopped at its limit. They join the result's
// warnings (report, JSON, plot).
std::vector<std::string> ExperimentWarnings(const Experiment &experiment);

// Report lines: the segments when there are several, the events per
// stream, the check.
std::string ExperimentReport(const Experiment &experiment, const std::string &events_path);

// The members the result's JSON object gains: mapping_piecewise,
// mapping_segments, mapping_break, single_line_error_s,
// mapping_segments_capped, mapping_excursions; events; trigger_check.
base::Json ExperimentJson(const Experiment &experiment, const std::string &events_path);

// The sidecar of an events file: its name with .json for .tsv.
std::string SidecarPath(const std::string &events_path);

// The member for a result that has no mapping: the events file is not
// written, and why.
base::Json NoEventsJson(const std::string &events_path, const std::string &why);

}  // namespace maroquint::align
