#include "experiment.h"

#include <cstdio>

#include "report.h"

namespace maroquint::align {
namespace {

std::string Ms(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds * 1e3);
  return text;
}

std::string Hex(std::uint64_t mask) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(mask));
  return text;
}

std::string SegmentJson(const Segment &s) {
  return "{\"first_sample\": " + std::to_string(s.first_sample) +
         ", \"last_sample\": " + std::to_string(s.last_sample) + ", \"a\": " + Number(s.a) +
         ", \"b\": " + Number(s.b) + ", \"pairs\": " + std::to_string(s.pairs) + ", \"a_ci95\": [" +
         Number(s.a_ci95[0]) + ", " + Number(s.a_ci95[1]) +
         "], \"drift_ppm\": " + Number(s.DriftPpm()) + ", \"drift_ci95_ppm\": [" +
         Number(s.drift_ci95_ppm[0]) + ", " + Number(s.drift_ci95_ppm[1]) + "]}";
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

std::string ExperimentJson(const Experiment &experiment, const std::string &events_path) {
  const std::vector<Segment> &segments = experiment.mapping.segments;
  std::string out =
      "\"mapping_piecewise\": " + std::string(segments.size() > 1 ? "true" : "false") +
      ",\n\"mapping_segments\": [";
  for (std::size_t k = 0; k < segments.size(); ++k) {
    out += (k ? ", " : "") + SegmentJson(segments[k]);
  }
  out += "],\n\"mapping_break\": " + JsonQuoted(experiment.segments.reason) +
         ",\n\"single_line_error_s\": " + Number(experiment.segments.single_line_error_s) +
         ",\n\"mapping_segments_capped\": " + (experiment.segments.capped ? "true" : "false") +
         ",\n\"mapping_excursions\": [";
  for (std::size_t k = 0; k < experiment.segments.excursions.size(); ++k) {
    out += (k ? ", " : "") + std::to_string(experiment.segments.excursions[k] + 1);
  }
  out += "],\n";
  if (experiment.has_events) {
    std::size_t placed = 0;
    for (const StreamCount &c : experiment.events.counts) placed += c.placed;
    out += "\"events\": {\"written\": true, \"file\": " + JsonQuoted(events_path) +
           ", \"count\": " + std::to_string(placed) + ", \"streams\": [";
    for (std::size_t k = 0; k < experiment.events.counts.size(); ++k) {
      const StreamCount &c = experiment.events.counts[k];
      out += std::string(k ? ", " : "") + "{\"name\": " + JsonQuoted(c.name) +
             ", \"events\": " + std::to_string(c.events) +
             ", \"written\": " + std::to_string(c.placed) +
             ", \"before_recording\": " + std::to_string(c.before) +
             ", \"after_recording\": " + std::to_string(c.after) + "}";
    }
    out += "]},\n";
  }
  if (experiment.checks) {
    const TriggerChecks &checks = *experiment.checks;
    out += "\"trigger_check\": {\"mask\": " + JsonQuoted(Hex(experiment.check_mask)) +
           ", \"trigger_onsets\": " + std::to_string(experiment.check_onsets) +
           ", \"window_s\": " + Number(checks.window_s) + ", \"streams\": [";
    for (std::size_t k = 0; k < checks.streams.size(); ++k) {
      const TriggerCheck &c = checks.streams[k];
      const bool any = c.matched > 0;
      out += std::string(k ? ", " : "") + "{\"name\": " + JsonQuoted(c.stream) +
             ", \"events\": " + std::to_string(c.events) +
             ", \"matched\": " + std::to_string(c.matched) +
             ", \"median_ms\": " + (any ? Number(c.median_s * 1e3) : "null") +
             ", \"p99_abs_ms\": " + (any ? Number(c.p99_abs_s * 1e3) : "null") +
             ", \"max_abs_ms\": " + (any ? Number(c.max_abs_s * 1e3) : "null") +
             ", \"min_ms\": " + (any ? Number(c.min_s * 1e3) : "null") +
             ", \"max_ms\": " + (any ? Number(c.max_s * 1e3) : "null") +
             ", \"without_trigger\": " + std::to_string(c.unmatched_onsets_s.size()) +
             ", \"without_trigger_onsets_s\": [";
      for (std::size_t i = 0; i < c.unmatched_onsets_s.size(); ++i) {
        out += (i ? ", " : "") + Number(c.unmatched_onsets_s[i]);
      }
      out += "]}";
    }
    out += "]},\n";
  }
  return out;
}

std::string AddMembers(const std::string &object, const std::string &members) {
  const std::size_t close = object.rfind('}');
  if (close == std::string::npos || members.empty()) return object;
  std::string head = object.substr(0, close);
  while (!head.empty() && (head.back() == '\n' || head.back() == ' ')) head.pop_back();
  std::string tail = members;
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == ',')) tail.pop_back();
  const bool empty_object = !head.empty() && head.back() == '{';
  return head + (empty_object ? "\n" : ",\n") + tail + "\n}\n";
}

std::string SidecarPath(const std::string &events_path) {
  const std::string tsv = ".tsv";
  if (events_path.size() >= tsv.size() &&
      events_path.compare(events_path.size() - tsv.size(), tsv.size(), tsv) == 0) {
    return events_path.substr(0, events_path.size() - tsv.size()) + ".json";
  }
  return events_path + ".json";
}

std::string NoEventsJson(const std::string &events_path, const std::string &why) {
  return "\"events\": {\"written\": false, \"file\": " + JsonQuoted(events_path) +
         ", \"reason\": " + JsonQuoted(why) + "},\n";
}

}  // namespace maroquint::align
