#include "report.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace maroquint::align {
namespace {

constexpr std::size_t kListed = 20;  // unmatched events and outliers listed in the report

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

std::string TextReport(const Alignment &result, const Sources &sources) {
  const auto &onsets = *sources.onset_times;
  const auto &markers = *sources.marker_times;
  std::string out;
  out += "EEG:     " + sources.eeg + ": " + std::to_string(onsets.size()) + " onsets\n";
  out += "markers: " + sources.markers + ": " + std::to_string(markers.size()) + " markers\n";
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
  out += "  offset at the recording's first sample (a): " + Fixed(result.a, 6) + " s\n";
  out += "  drift: " + Fixed(result.DriftPpm(), 2) + " ppm (EEG clock " +
         (result.DriftPpm() >= 0 ? "faster" : "slower") +
         " than the marker clock; b = " + Number(result.b) + ")\n";
  out += "residuals (marker time - mapped onset, without outliers): mean " +
         Ms(result.residuals.mean) + ", sd " + Ms(result.residuals.sd) + ", p99 |r| " +
         Ms(result.residuals.p99) + ", max |r| " + Ms(result.residuals.max) + "\n";
  std::vector<Pair> outliers;
  for (const Pair &p : result.pairs) {
    if (p.outlier) outliers.push_back(p);
  }
  out += "outliers: " + std::to_string(outliers.size()) + "\n";
  List<Pair>(out, outliers, [](const Pair &p) {
    return "marker " + std::to_string(p.marker + 1) + " at " + Fixed(p.marker_time, 6) +
           " s: residual " + Ms(p.residual);
  });
  if (std::fabs(result.DriftPpm()) > Options{}.max_drift_ppm) {
    out += "warning: a drift of " + Fixed(result.DriftPpm(), 0) +
           " ppm is beyond any amplifier's or PC's clock: the markers were stamped late or the "
           "pairs are wrong\n";
  }
  if (!result.equal_shifts.empty()) {
    out += "warning: the pulses come without gaps, so the pairing shifted by";
    for (std::size_t k = 0; k < result.equal_shifts.size() && k < kListed; ++k) {
      out += (k ? ", " : " ") + std::to_string(result.equal_shifts[k]);
    }
    out += " pulse(s) fits as well; the one that pairs the ends of the recordings was taken\n";
  }
  return out;
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
  std::vector<double> unmatched_onsets, unmatched_markers, outliers;
  for (std::size_t i : result.unmatched_onsets)
    unmatched_onsets.push_back((*sources.onset_times)[i]);
  for (std::size_t j : result.unmatched_markers) {
    unmatched_markers.push_back((*sources.marker_times)[j]);
  }
  for (const Pair &p : result.pairs) {
    if (p.outlier) outliers.push_back(p.marker_time);
  }
  std::vector<double> shifts(result.equal_shifts.begin(), result.equal_shifts.end());
  std::string out = "{\n";
  out += "  \"pairs\": " + std::to_string(result.pairs.size()) + ",\n";
  out += "  \"onsets\": " + std::to_string(sources.onset_times->size()) + ",\n";
  out += "  \"markers\": " + std::to_string(sources.marker_times->size()) + ",\n";
  out += "  \"unmatched_onsets\": " + JsonArray(unmatched_onsets) + ",\n";
  out += "  \"unmatched_markers\": " + JsonArray(unmatched_markers) + ",\n";
  out += "  \"outliers\": " + JsonArray(outliers) + ",\n";
  out += "  \"offset_s\": " + Number(result.a) + ",\n";
  out += "  \"drift_ppm\": " + Number(result.DriftPpm()) + ",\n";
  out += "  \"a\": " + Number(result.a) + ",\n";
  out += "  \"b\": " + Number(result.b) + ",\n";
  out += "  \"rate\": " + Number(sources.rate) + ",\n";
  out += "  \"residual_mean_s\": " + Number(result.residuals.mean) + ",\n";
  out += "  \"residual_sd_s\": " + Number(result.residuals.sd) + ",\n";
  out += "  \"residual_p99_s\": " + Number(result.residuals.p99) + ",\n";
  out += "  \"residual_max_s\": " + Number(result.residuals.max) + ",\n";
  out += "  \"equally_good_shifts\": " + JsonArray(shifts) + "\n";
  return out + "}\n";
}

std::string MappingJson(const Alignment &result, double rate) {
  return "{\n  \"formula\": \"lsl_time = a + b * sample_index / rate\",\n  \"a\": " +
         Number(result.a) + ",\n  \"b\": " + Number(result.b) + ",\n  \"rate\": " + Number(rate) +
         "\n}\n";
}

}  // namespace maroquint::align
