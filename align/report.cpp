#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <tuple>

namespace maroquint::align {
namespace {

constexpr std::size_t kListed = 20;  // unmatched events and outliers listed in the report
constexpr std::size_t kBest = 5;     // candidates listed in the report
constexpr std::size_t kJsonCandidates = 1000;

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Ms(double seconds) {
  return Fixed(seconds * 1e3, 3) + " ms";
}

template <typename Item>
void List(std::string &out, const std::vector<Item> &items,
          const std::function<std::string(const Item &)> &line) {
  for (std::size_t k = 0; k < items.size() && k < kListed; ++k) out += "  " + line(items[k]) + "\n";
  if (items.size() > kListed)
    out += "  ... and " + std::to_string(items.size() - kListed) + " more\n";
}

std::string JsonArray(const std::vector<double> &values) {
  std::string out = "[";
  for (std::size_t k = 0; k < values.size(); ++k) out += (k ? ", " : "") + Number(values[k]);
  return out + "]";
}

std::string JsonString(const std::string &text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The candidates by cost, the cheapest first (on ties, the one pairing
// more, then the nearest shift).
std::vector<Candidate> ByCost(const std::vector<Candidate> &candidates) {
  std::vector<Candidate> sorted = candidates;
  auto key = [](const Candidate &c) {
    return std::make_tuple(c.cost, -static_cast<long long>(c.pairs), std::llabs(c.shift));
  };
  std::stable_sort(sorted.begin(), sorted.end(),
                   [&](const Candidate &x, const Candidate &y) { return key(x) < key(y); });
  return sorted;
}

// Candidates share one drift only when the pulses' intervals are equal:
// it is given for the aligned result alone.
bool DriftKnown(const Alignment &result) {
  return result.outcome == Outcome::kOk;
}

std::string DriftLine(const Alignment &result) {
  return "drift: " + Fixed(result.DriftPpm(), 2) + " ppm, 95 % interval " +
         Fixed(result.drift_ci95_ppm[0], 2) + " to " + Fixed(result.drift_ci95_ppm[1], 2) +
         " ppm (EEG clock " + (result.DriftPpm() >= 0 ? "faster" : "slower") +
         " than the marker clock; b = " + Number(result.b) + ")";
}

// The result's warnings, and a drift that no amplifier's or PC's clock
// has but that is short of a refusal.
std::vector<std::string> Warnings(const Alignment &result) {
  std::vector<std::string> warnings = result.warnings;
  if (DriftKnown(result) && std::fabs(result.DriftPpm()) > Options{}.max_drift_ppm) {
    warnings.push_back("a drift of " + Fixed(result.DriftPpm(), 0) +
                       " ppm is beyond any amplifier's or PC's clock: the markers were stamped "
                       "late or the pairs are wrong");
  }
  return warnings;
}

void Candidates(std::string &out, const Alignment &result) {
  const auto &all = result.candidates;
  if (all.empty()) return;
  const auto [low, high] = std::minmax_element(
      all.begin(), all.end(), [](const auto &x, const auto &y) { return x.shift < y.shift; });
  const double a0 =
      std::find_if(all.begin(), all.end(), [](const Candidate &c) { return c.shift == 0; })->a;
  // The period on the marker clock, as the candidates' offsets step.
  const double period = high->shift > low->shift
                            ? (low->a - high->a) / static_cast<double>(high->shift - low->shift)
                            : result.b * result.period_s;
  out += "candidates: " + std::to_string(all.size()) + ", offsets " + Fixed(a0, 6) + " s - n x " +
         Fixed(period, 6) + " s for shifts n = " + std::to_string(low->shift) + ".." +
         std::to_string(high->shift) + "; the cheapest:\n";
  const std::vector<Candidate> sorted = ByCost(all);
  for (std::size_t k = 0; k < sorted.size() && k < kBest; ++k) {
    const Candidate &c = sorted[k];
    out += "  shift " + std::to_string(c.shift) + ": offset " + Fixed(c.a, 6) + " s, " +
           std::to_string(c.pairs) + " pairs, " + std::to_string(c.unmatched) +
           " unmatched, cost " + std::to_string(c.cost) + (c.checked ? "" : " (estimated)") + "\n";
  }
}

}  // namespace

std::string Number(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

std::string Headline(const Alignment &result, const Sources &sources) {
  std::string line = Describe(result.outcome);
  if (!result.reason.empty()) line += ": " + result.reason;
  if (result.outcome == Outcome::kRefused && result.reason.rfind("onset intervals", 0) == 0) {
    line += ": is " + (sources.channel.empty() ? sources.eeg : "`" + sources.channel + "`") +
            " the trigger channel?";
    if (!sources.trigger_like_channels.empty()) {
      line += " channels that look like triggers:";
      for (const std::string &name : sources.trigger_like_channels) line += " " + name;
    }
  }
  return line;
}

std::string TextReport(const Alignment &result, const Sources &sources) {
  const auto &onsets = *sources.onset_times;
  const auto &markers = *sources.marker_times;
  const bool aligned = result.outcome == Outcome::kOk;
  const bool ambiguous = result.outcome == Outcome::kAmbiguous;
  std::string banner;
  if (ambiguous) banner = "AMBIGUOUS: " + Headline(result, sources) + "\n";
  if (result.outcome == Outcome::kRefused) banner = "REFUSED: " + Headline(result, sources) + "\n";
  std::string out = banner;
  out += "EEG:     " + sources.eeg + ": " + std::to_string(onsets.size()) + " onsets\n";
  out += "markers: " + sources.markers + ": " + std::to_string(markers.size()) + " markers\n";
  if (!result.long_pulses.empty()) {
    out += "long pulses (a cut input wire), timed from their fall, where their marker came: " +
           std::to_string(result.long_pulses.size()) + "\n";
    List<std::size_t>(out, result.long_pulses, [&](const std::size_t &i) {
      return "onset " + std::to_string(i + 1) + " at EEG " + Fixed(onsets[i], 6) + " s";
    });
  }
  if (aligned) {
    out += "decided by: " + Describe(result.decided_by) +
           (result.decision.empty() ? "" : " (" + result.decision + ")") + "\n";
  } else if (!ambiguous) {
    out += "pairs under the best pairing: " + std::to_string(result.pairs.size()) + "\n";
  }
  if (aligned) {
    out += "pairs:   " + std::to_string(result.pairs.size()) + " (" +
           std::to_string(result.outliers) + " outliers)\n";
    out += "onsets without marker: " + std::to_string(result.unmatched_onsets.size()) + "\n";
    List<std::size_t>(out, result.unmatched_onsets, [&](const std::size_t &i) {
      return "onset " + std::to_string(i + 1) + " at EEG " + Fixed(onsets[i], 6) + " s (sample " +
             std::to_string(std::llround(onsets[i] * sources.rate)) + ")";
    });
    out += "markers without onset: " + std::to_string(result.unmatched_markers.size()) + "\n";
    List<std::size_t>(out, result.unmatched_markers, [&](const std::size_t &j) {
      return "marker " + std::to_string(j + 1) + " at " + Fixed(markers[j], 6) + " s";
    });
    out += "mapping: marker time of EEG sample n = a + b * n / " + Number(sources.rate) + "\n";
    out += "  offset at the recording's first sample (a): " + Fixed(result.a, 6) +
           " s, 95 % interval " + Fixed(result.a_ci95[0], 6) + " to " + Fixed(result.a_ci95[1], 6) +
           " s\n";
    out += "  " + DriftLine(result) + "\n";
  }
  if (aligned || result.outcome == Outcome::kRefused) {
    out += std::string("residuals (marker time - mapped onset, without outliers") +
           (aligned ? "" : ", best pairing") + "): mean " + Ms(result.residuals.mean) + ", sd " +
           Ms(result.residuals.sd) + ", p99 |r| " + Ms(result.residuals.p99) + ", max |r| " +
           Ms(result.residuals.max) + "\n";
  }
  if (aligned) {
    std::vector<Pair> outliers;
    for (const Pair &p : result.pairs) {
      if (p.outlier) outliers.push_back(p);
    }
    out += "outliers: " + std::to_string(outliers.size()) + "\n";
    List<Pair>(out, outliers, [](const Pair &p) {
      return "marker " + std::to_string(p.marker + 1) + " at " + Fixed(p.marker_time, 6) +
             " s: residual " + Ms(p.residual);
    });
  }
  if (aligned || ambiguous) Candidates(out, result);
  for (const FileWarning &w : sources.file_warnings) {
    out += "file warning: " + w.kind + ": " + std::to_string(w.count) + " time(s)" +
           (w.first.empty() ? "" : ", first " + w.first) + "\n";
  }
  for (const std::string &w : Warnings(result)) out += "warning: " + w + "\n";
  if (ambiguous) {
    out +=
        "what would decide: restart the program once while both recorders run; or stop it "
        "before stopping them (decides when the marker recording's span is known past its last "
        "marker); or record the EEG through LSL into the markers' XDF file; or give --first-pair "
        "ONSET:MARKER or --offset SECONDS\n";
    out += "no mapping was written\n";
  }
  return out + banner;
}

std::string PairsCsv(const Alignment &result, double rate) {
  std::string out = "onset,marker,eeg_sample,eeg_time,marker_time,residual,outlier\n";
  for (const Pair &p : result.pairs) {
    out += std::to_string(p.onset + 1) + "," + std::to_string(p.marker + 1) + "," +
           std::to_string(std::llround(p.eeg_time * rate)) + "," + Number(p.eeg_time) + "," +
           Number(p.marker_time) + "," + Number(p.residual) + "," + (p.outlier ? "1" : "0") + "\n";
  }
  return out;
}

std::string ResultJson(const Alignment &result, const Sources &sources) {
  const bool aligned = result.outcome == Outcome::kOk;
  const double unknown = NAN;  // written as null
  std::vector<double> unmatched_onsets, unmatched_markers, outliers, long_pulses;
  for (std::size_t i : result.unmatched_onsets)
    unmatched_onsets.push_back((*sources.onset_times)[i]);
  for (std::size_t j : result.unmatched_markers) {
    unmatched_markers.push_back((*sources.marker_times)[j]);
  }
  for (const Pair &p : result.pairs) {
    if (p.outlier) outliers.push_back(p.marker_time);
  }
  for (std::size_t i : result.long_pulses) long_pulses.push_back((*sources.onset_times)[i]);
  const double a = aligned ? result.a : unknown;
  const bool drift_known = DriftKnown(result);
  std::string out = "{\n";
  out += "  \"status\": " + JsonString(Status(result.outcome)) + ",\n";
  out += "  \"reason\": " + (aligned ? "null" : JsonString(Headline(result, sources))) + ",\n";
  out += "  \"decided_by\": " +
         (result.decided_by == Decider::kNone ? "null" : JsonString(Describe(result.decided_by))) +
         ",\n";
  out +=
      "  \"decision\": " + (result.decision.empty() ? "null" : JsonString(result.decision)) + ",\n";
  out += "  \"pairs\": " + std::to_string(result.pairs.size()) + ",\n";
  out += "  \"onsets\": " + std::to_string(sources.onset_times->size()) + ",\n";
  out += "  \"markers\": " + std::to_string(sources.marker_times->size()) + ",\n";
  out += "  \"unmatched_onsets\": " + JsonArray(unmatched_onsets) + ",\n";
  out += "  \"unmatched_markers\": " + JsonArray(unmatched_markers) + ",\n";
  out += "  \"outliers\": " + JsonArray(outliers) + ",\n";
  out += "  \"long_pulses\": " + JsonArray(long_pulses) + ",\n";
  out += "  \"offset_s\": " + Number(a) + ",\n";
  out += "  \"offset_ci95_s\": " +
         (aligned ? JsonArray({result.a_ci95[0], result.a_ci95[1]}) : "null") + ",\n";
  out += "  \"drift_ppm\": " + Number(drift_known ? result.DriftPpm() : unknown) + ",\n";
  out += "  \"drift_ci95_ppm\": " +
         (drift_known ? JsonArray({result.drift_ci95_ppm[0], result.drift_ci95_ppm[1]}) : "null") +
         ",\n";
  out += "  \"a\": " + Number(a) + ",\n";
  out += "  \"b\": " + Number(drift_known ? result.b : unknown) + ",\n";
  out += "  \"rate\": " + Number(sources.rate) + ",\n";
  out += "  \"residual_mean_s\": " + Number(result.residuals.mean) + ",\n";
  out += "  \"residual_sd_s\": " + Number(result.residuals.sd) + ",\n";
  out += "  \"residual_p99_s\": " + Number(result.residuals.p99) + ",\n";
  out += "  \"residual_max_s\": " + Number(result.residuals.max) + ",\n";
  std::vector<Candidate> listed = ByCost(result.candidates);
  if (listed.size() > kJsonCandidates) listed.resize(kJsonCandidates);
  std::sort(listed.begin(), listed.end(),
            [](const Candidate &x, const Candidate &y) { return x.shift < y.shift; });
  out += "  \"candidate_count\": " + std::to_string(result.candidates.size()) + ",\n";
  out += "  \"candidates\": [";
  for (std::size_t k = 0; k < listed.size(); ++k) {
    const Candidate &c = listed[k];
    out += std::string(k ? ",\n    " : "\n    ") + "{\"shift\": " + std::to_string(c.shift) +
           ", \"offset_s\": " + Number(c.a) + ", \"pairs\": " + std::to_string(c.pairs) +
           ", \"unmatched\": " + std::to_string(c.unmatched) +
           ", \"cost\": " + std::to_string(c.cost) +
           ", \"checked\": " + (c.checked ? "true" : "false") + "}";
  }
  out += listed.empty() ? "],\n" : "\n  ],\n";
  out += "  \"file_warnings\": [";
  for (std::size_t k = 0; k < sources.file_warnings.size(); ++k) {
    const FileWarning &w = sources.file_warnings[k];
    out += std::string(k ? ", " : "") + "{\"kind\": " + JsonString(w.kind) +
           ", \"count\": " + std::to_string(w.count) + ", \"first\": " + JsonString(w.first) + "}";
  }
  out += "],\n  \"warnings\": [";
  const std::vector<std::string> warnings = Warnings(result);
  for (std::size_t k = 0; k < warnings.size(); ++k) {
    out += (k ? ", " : "") + JsonString(warnings[k]);
  }
  return out + "]\n}\n";
}

}  // namespace maroquint::align
