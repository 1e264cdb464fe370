#include "experiment.h"

#include "base/text.h"
#include "report.h"

namespace maroquint::align {
namespace {

std::string Ms(double seconds) {
  return base::Format("%.3f", seconds * 1e3);
}

std::string Hex(std::uint64_t mask) {
  return base::Format("0x%llX", static_cast<unsigned long long>(mask));
}

}  // namespace

Experiment PlaceExperiment(const Alignment &result, double rate, std::int64_t samples,
                           const std::vector<EventStream> *events,
                           const std::vector<std::int64_t> &check_onsets,
                           std::uint64_t check_mask) {
  Experiment out;
  std::vector<TimePair> pairs;
  for (const Pair &pair : result.pairs) {
    if (!pair.outlier) pairs.push_back({pair.eeg_time, pair.marker_time});
  }
  out.segments = FitSegments(pairs, rate, samples);
  if (out.segments.segments.size() > 1) {
    out.mapping = Mapping{rate, out.segments.segments};
  } else {
    // One line: the fit's own, with its intervals.
    out.mapping = SingleLine(result.a, result.b, rate, samples);
    Segment &line = out.mapping.segments.front();
    line.pairs = pairs.size();
    line.residual_sd_s = result.residuals.sd;
    line.a_ci95[0] = result.a_ci95[0];
    line.a_ci95[1] = result.a_ci95[1];
    line.drift_ci95_ppm[0] = result.drift_ci95_ppm[0];
    line.drift_ci95_ppm[1] = result.drift_ci95_ppm[1];
  }
  if (events != nullptr) {
    out.has_events = true;
    out.events = PlaceEvents(*events, out.mapping, samples);
    if (check_mask != 0) {
      out.checks = CheckAgainstTriggers(out.events, check_onsets, rate);
      out.check_mask = check_mask;
      out.check_onsets = check_onsets.size();
    }
  }
  return out;
}

std::vector<std::string> ExperimentWarnings(const Experiment &experiment) {
  std::vector<std::string> warnings;
  const std::size_t count = experiment.mapping.segments.size();
  if (count > 1) {
    warnings.push_back("one line does not map the clocks over the whole recording (" +
                       experiment.segments.reason + "): mapped in " + std::to_string(count) +
                       " segments, each with its own a and b (listed below, and in --mapping); "
                       "the offset, drift, a and b of the whole fit hold for none of them");
  }
  for (const std::size_t k : experiment.segments.excursions) {
    const Segment &s = experiment.mapping.segments[k];
    warnings.push_back("segment " + std::to_string(k + 1) + " (samples " +
                       std::to_string(s.first_sample) + " to " + std::to_string(s.last_sample) +
                       ") leaves the line that the segments around it share and comes back: a "
                       "clock rarely does, delayed markers (a busy computer) often do; if so, "
                       "its events are placed off by that delay");
  }
  if (experiment.segments.capped) {
    warnings.push_back(std::to_string(count) +
                       " segments, the most maroquint-align fits: some were not tested further "
                       "and may still bend beyond their intervals");
  }
  return warnings;
}

std::string ExperimentReport(const Experiment &experiment, const std::string &events_path) {
  std::string out;
  const std::vector<Segment> &segments = experiment.mapping.segments;
  if (segments.size() > 1) {
    out += "segments: " + std::to_string(segments.size()) + "\n";
    for (std::size_t k = 0; k < segments.size(); ++k) {
      const Segment &s = segments[k];
      out += "  segment " + std::to_string(k + 1) + ": samples " + std::to_string(s.first_sample) +
             " to " + std::to_string(s.last_sample) + ", " + std::to_string(s.pairs) +
             " pairs, a = " + Number(s.a) + " s [" + Number(s.a_ci95[0]) + ", " +
             Number(s.a_ci95[1]) + "], drift " + Number(s.DriftPpm()) + " ppm\n";
    }
  }
  if (!experiment.has_events) return out;
  std::size_t placed = 0, total = 0;
  for (const StreamCount &c : experiment.events.counts) {
    placed += c.placed;
    total += c.events;
  }
  out += "events:  " + events_path + ": " + std::to_string(placed) + " of " +
         std::to_string(total) + " events written\n";
  for (const StreamCount &c : experiment.events.counts) {
    out += "  stream " + c.name + ": " + std::to_string(c.placed) + " of " +
           std::to_string(c.events) + " on the EEG, " + std::to_string(c.before) +
           " before its first sample, " + std::to_string(c.after) + " after its last\n";
  }
  if (experiment.events.counts.empty()) out += "  no event streams\n";
  if (experiment.checks) {
    const TriggerChecks &checks = *experiment.checks;
    out += "events against the triggers on bits " + Hex(experiment.check_mask) + " (" +
           std::to_string(experiment.check_onsets) + " onsets, window " + Ms(checks.window_s) +
           " ms; event minus trigger):\n";
    for (const TriggerCheck &c : checks.streams) {
      out += "  stream " + c.stream + ": " + std::to_string(c.matched) + " of " +
             std::to_string(c.events) + " events with a trigger";
      if (c.matched > 0) {
        out += ", median " + Ms(c.median_s) + " ms, p99 |d| " + Ms(c.p99_abs_s) + " ms, max |d| " +
               Ms(c.max_abs_s) + " ms (from " + Ms(c.min_s) + " to " + Ms(c.max_s) + " ms)";
      }
      out += "; without trigger: " + std::to_string(c.unmatched_onsets_s.size()) + "\n";
    }
  }
  return out;
}

base::Json ExperimentJson(const Experiment &experiment, const std::string &events_path) {
  const std::vector<Segment> &segments = experiment.mapping.segments;
  base::Json json;
  json["mapping_piecewise"] = segments.size() > 1;
  base::Json &listed = json["mapping_segments"] = base::Json::array();
  for (const Segment &s : segments) listed.push_back(SegmentJson(s));
  json["mapping_break"] = experiment.segments.reason;
  json["single_line_error_s"] = experiment.segments.single_line_error_s;
  json["mapping_segments_capped"] = experiment.segments.capped;
  base::Json &excursions = json["mapping_excursions"] = base::Json::array();
  for (const std::size_t k : experiment.segments.excursions) excursions.push_back(k + 1);
  if (experiment.has_events) {
    std::size_t placed = 0;
    base::Json streams = base::Json::array();
    for (const StreamCount &c : experiment.events.counts) {
      placed += c.placed;
      streams.push_back({{"name", c.name},
                         {"events", c.events},
                         {"written", c.placed},
                         {"before_recording", c.before},
                         {"after_recording", c.after}});
    }
    json["events"] = {
        {"written", true}, {"file", events_path}, {"count", placed}, {"streams", streams}};
  }
  if (experiment.checks) {
    const TriggerChecks &checks = *experiment.checks;
    base::Json streams = base::Json::array();
    for (const TriggerCheck &c : checks.streams) {
      const bool any = c.matched > 0;
      auto ms = [any](double seconds) { return any ? base::Json(seconds * 1e3) : base::Json(); };
      streams.push_back({{"name", c.stream},
                         {"events", c.events},
                         {"matched", c.matched},
                         {"median_ms", ms(c.median_s)},
                         {"p99_abs_ms", ms(c.p99_abs_s)},
                         {"max_abs_ms", ms(c.max_abs_s)},
                         {"min_ms", ms(c.min_s)},
                         {"max_ms", ms(c.max_s)},
                         {"without_trigger", c.unmatched_onsets_s.size()},
                         {"without_trigger_onsets_s", c.unmatched_onsets_s}});
    }
    json["trigger_check"] = {{"mask", Hex(experiment.check_mask)},
                             {"trigger_onsets", experiment.check_onsets},
                             {"window_s", checks.window_s},
                             {"streams", streams}};
  }
  return json;
}

std::string SidecarPath(const std::string &events_path) {
  const std::string tsv = ".tsv";
  if (events_path.size() >= tsv.size() &&
      events_path.compare(events_path.size() - tsv.size(), tsv.size(), tsv) == 0) {
    return events_path.substr(0, events_path.size() - tsv.size()) + ".json";
  }
  return events_path + ".json";
}

base::Json NoEventsJson(const std::string &events_path, const std::string &why) {
  return {{"events", {{"written", false}, {"file", events_path}, {"reason", why}}}};
}

}  // namespace maroquint::align
