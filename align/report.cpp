#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <tuple>

#include "base/text.h"

namespace maroquint::align {
namespace {

constexpr std::size_t kListed = 20;  // unmatched events and outliers listed in the report
constexpr std::size_t kBest = 5;     // candidates listed in the report
constexpr std::size_t kJsonCandidates = 1000;

std::string Ms(double seconds) {
  return base::Format("%.3f ms", seconds * 1e3);
}

template <typename Item>
void List(std::string &out, const std::vector<Item> &items,
          const std::function<std::string(const Item &)> &line) {
  for (std::size_t k = 0; k < items.size() && k < kListed; ++k) out += "  " + line(items[k]) + "\n";
  if (items.size() > kListed)
    out += "  ... and " + std::to_string(items.size() - kListed) + " more\n";
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
  return base::Format(
      "drift: %.2f ppm, 95 %% interval %.2f to %.2f ppm (EEG clock %s than the marker clock; "
      "b = %s)",
      result.DriftPpm(), result.drift_ci95_ppm[0], result.drift_ci95_ppm[1],
      result.DriftPpm() >= 0 ? "faster" : "slower", Number(result.b).c_str());
}

// The result's warnings, and a drift that no amplifier's or PC's clock
// has but that is short of a refusal.
std::vector<std::string> Warnings(const Alignment &result) {
  std::vector<std::string> warnings = result.warnings;
  if (DriftKnown(result) && std::fabs(result.DriftPpm()) > Options{}.max_drift_ppm) {
    warnings.push_back("a drift of " + base::Format("%.0f", result.DriftPpm()) +
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
  out += "candidates: " + std::to_string(all.size()) + ", offsets " + base::Format("%.6f", a0) +
         " s - n x " + base::Format("%.6f", period) +
         " s for shifts n = " + std::to_string(low->shift) + ".." + std::to_string(high->shift) +
         "; the cheapest:\n";
  const std::vector<Candidate> sorted = ByCost(all);
  for (std::size_t k = 0; k < sorted.size() && k < kBest; ++k) {
    const Candidate &c = sorted[k];
    out += "  shift " + std::to_string(c.shift) + ": offset " + base::Format("%.6f", c.a) + " s, " +
           std::to_string(c.pairs) + " pairs, " + std::to_string(c.unmatched) +
           " unmatched, cost " + std::to_string(c.cost) + (c.checked ? "" : " (estimated)") + "\n";
  }
}

}  // namespace

std::string Number(double value) {
  if (!std::isfinite(value)) return "null";
  std::string text;
  for (int precision = 15; precision <= 17; ++precision) {
    text = base::Format("%.*g", precision, value);
    if (std::strtod(text.c_str(), nullptr) == value) break;
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
      return "onset " + std::to_string(i + 1) + " at EEG " + base::Format("%.6f", onsets[i]) + " s";
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
      return "onset " + std::to_string(i + 1) + " at EEG " + base::Format("%.6f", onsets[i]) +
             " s (sample " + std::to_string(std::llround(onsets[i] * sources.rate)) + ")";
    });
    out += "markers without onset: " + std::to_string(result.unmatched_markers.size()) + "\n";
    List<std::size_t>(out, result.unmatched_markers, [&](const std::size_t &j) {
      return "marker " + std::to_string(j + 1) + " at " + base::Format("%.6f", markers[j]) + " s";
    });
    out += "mapping: marker time of EEG sample n = a + b * n / " + Number(sources.rate) + "\n";
    out += base::Format(
        "  offset at the recording's first sample (a): %.6f s, 95 %% interval %.6f to %.6f s\n",
        result.a, result.a_ci95[0], result.a_ci95[1]);
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
      return "marker " + std::to_string(p.marker + 1) + " at " +
             base::Format("%.6f", p.marker_time) + " s: residual " + Ms(p.residual);
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

base::Json ResultJson(const Alignment &result, const Sources &sources) {
  const bool aligned = result.outcome == Outcome::kOk;
  const bool drift_known = DriftKnown(result);
  auto times = [](const std::vector<std::size_t> &indices, const std::vector<double> &all) {
    base::Json list = base::Json::array();
    for (const std::size_t i : indices) list.push_back(all[i]);
    return list;
  };
  base::Json outliers = base::Json::array();
  for (const Pair &p : result.pairs) {
    if (p.outlier) outliers.push_back(p.marker_time);
  }
  base::Json json;
  json["status"] = Status(result.outcome);
  json["reason"] = aligned ? base::Json() : base::Json(Headline(result, sources));
  json["decided_by"] =
      result.decided_by == Decider::kNone ? base::Json() : base::Json(Describe(result.decided_by));
  json["decision"] = result.decision.empty() ? base::Json() : base::Json(result.decision);
  json["pairs"] = result.pairs.size();
  json["onsets"] = sources.onset_times->size();
  json["markers"] = sources.marker_times->size();
  json["unmatched_onsets"] = times(result.unmatched_onsets, *sources.onset_times);
  json["unmatched_markers"] = times(result.unmatched_markers, *sources.marker_times);
  json["outliers"] = std::move(outliers);
  json["long_pulses"] = times(result.long_pulses, *sources.onset_times);
  json["offset_s"] = aligned ? base::Json(result.a) : base::Json();
  json["offset_ci95_s"] = aligned ? base::Json{result.a_ci95[0], result.a_ci95[1]} : base::Json();
  json["drift_ppm"] = drift_known ? base::Json(result.DriftPpm()) : base::Json();
  json["drift_ci95_ppm"] =
      drift_known ? base::Json{result.drift_ci95_ppm[0], result.drift_ci95_ppm[1]} : base::Json();
  json["a"] = json["offset_s"];
  json["b"] = drift_known ? base::Json(result.b) : base::Json();
  json["rate"] = sources.rate;
  json["residual_mean_s"] = result.residuals.mean;
  json["residual_sd_s"] = result.residuals.sd;
  json["residual_p99_s"] = result.residuals.p99;
  json["residual_max_s"] = result.residuals.max;
  std::vector<Candidate> listed = ByCost(result.candidates);
  if (listed.size() > kJsonCandidates) listed.resize(kJsonCandidates);
  std::sort(listed.begin(), listed.end(),
            [](const Candidate &x, const Candidate &y) { return x.shift < y.shift; });
  json["candidate_count"] = result.candidates.size();
  base::Json &candidates = json["candidates"] = base::Json::array();
  for (const Candidate &c : listed) {
    candidates.push_back({{"shift", c.shift},
                          {"offset_s", c.a},
                          {"pairs", c.pairs},
                          {"unmatched", c.unmatched},
                          {"cost", c.cost},
                          {"checked", c.checked}});
  }
  base::Json &file_warnings = json["file_warnings"] = base::Json::array();
  for (const FileWarning &w : sources.file_warnings) {
    file_warnings.push_back({{"kind", w.kind}, {"count", w.count}, {"first", w.first}});
  }
  json["warnings"] = Warnings(result);
  return json;
}

}  // namespace maroquint::align
