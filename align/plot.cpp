#include "plot.h"

#include "plotting/page.h"

#include <plplot.h>
#include <sysexits.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <utility>
#include <vector>

#include "base/text.h"

namespace maroquint::align {
namespace {

// Characters of the header that fit across the page at its character size.
constexpr std::size_t kHeaderWidth = 95;
// Lines of the header that fit above the panels.
constexpr std::size_t kHeaderLines = 9;
constexpr int kMaxBins = 60;

using plotting::Colour, plotting::kBlack, plotting::kBlue, plotting::kRed, plotting::kGrey,
    plotting::kOrange, plotting::kPurple, plotting::kLightOrange, plotting::kLightPurple;

// The page's failures in the terms of the plot.
base::Status<PlotError> Failed(const plotting::PageStatus &page) {
  const PlotError code = page.Code() == plotting::PageError::kUnknownFormat
                             ? PlotError::kUnknownFormat
                         : page.Code() == plotting::PageError::kNoDriver ? PlotError::kNoDriver
                                                                         : PlotError::kCannotWrite;
  return base::Fail(code, page.Message());
}

// PLplot reads '#' as the start of an escape sequence; a control
// character from a file name would break the line or vanish.
std::string Escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    if (c == '#') out += '#';
  }
  return out;
}

// A line that would run off the page keeps its start and its end (a
// path's beginning, and the file name with what follows it); the middle
// gives way. Cuts fall between UTF-8 characters.
std::string Fitted(const std::string &text, std::size_t width) {
  auto characters = [](const std::string &s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  };
  if (characters(text) <= width) return text;
  auto boundary = [&](std::size_t at) {
    while (at > 0 && at < text.size() && (text[at] & 0xC0) == 0x80) --at;
    return at;
  };
  const std::size_t head = boundary(width / 3);
  std::size_t tail = text.size();
  std::size_t kept = 0;
  while (tail > head && kept + 1 < width - width / 3) {
    tail = boundary(tail - 1);
    ++kept;
  }
  return text.substr(0, head) + "\u2026" + text.substr(tail);
}

// A sentence across as many lines as it needs, broken between words; a
// word longer than a line is cut by Fitted.
std::vector<std::string> Wrapped(const std::string &text, std::size_t width) {
  std::vector<std::string> lines(1);
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width)
      lines.emplace_back();
    lines.back() += (lines.back().empty() ? "" : " ") + word;
  }
  for (std::string &line : lines) line = Fitted(line, width);
  return lines;
}

// Milliseconds, or microseconds for residuals that small: the axis then
// needs no exponent.
struct Unit {
  double scale;
  const char *name;
};

Unit UnitFor(double largest_seconds) {
  if (largest_seconds < 1e-3) return {1e6, "#gms"};
  return {1e3, "ms"};
}

std::string IntervalText(const Interval &interval, int decimals) {
  return base::Format("[%.*f, %.*f]", decimals, interval.low, decimals, interval.high);
}

// What the picture is of, then what changes what its numbers mean, in
// red, wrapped; as many lines as fit above the panels.
std::vector<std::pair<std::string, Colour>> HeaderFor(const Alignment &result,
                                                      const Sources &sources,
                                                      const PlotAnnotations &annotations) {
  std::vector<std::pair<std::string, Colour>> lines;
  const std::size_t onsets = sources.onset_times ? sources.onset_times->size() : 0;
  const std::size_t markers = sources.marker_times ? sources.marker_times->size() : 0;
  auto text = [&](const std::string &line) {
    lines.emplace_back(Fitted(line, kHeaderWidth), kBlack);
  };
  auto warning = [&](const std::string &sentence) {
    for (const std::string &line : Wrapped(sentence, kHeaderWidth)) lines.emplace_back(line, kRed);
  };
  text("EEG: " + sources.eeg + ": " + std::to_string(onsets) + " onsets");
  text("markers: " + sources.markers + ": " + std::to_string(markers) + " markers");
  if (result.outcome == Outcome::kOk) {
    text(base::Format("marker time = a + b \u00d7 EEG time:  a = %.6f s,  b = %s", result.a,
                      Number(result.b).c_str()));
    text(base::Format("EEG rate %s Hz,  drift %.2f ppm (EEG clock %s than the marker clock)",
                      Number(sources.rate).c_str(), result.DriftPpm(),
                      result.DriftPpm() >= 0 ? "faster" : "slower"));
    std::string ranges;
    if (annotations.offset_s) ranges += "a " + IntervalText(*annotations.offset_s, 6) + " s";
    if (annotations.drift_ppm)
      ranges += (ranges.empty() ? "" : ",  ") + std::string("drift ") +
                IntervalText(*annotations.drift_ppm, 2) + " ppm";
    text(ranges.empty() ? "no 95 % intervals" : "95 % intervals: " + ranges);
  } else {
    warning("cannot align: " + Describe(result.outcome) + "; no mapping is established");
  }
  for (const std::string &sentence : annotations.warnings) warning("warning: " + sentence);
  if (lines.size() > kHeaderLines) {
    const std::size_t hidden = lines.size() - (kHeaderLines - 1);
    lines.resize(kHeaderLines - 1);
    lines.emplace_back("\u2026 and " + std::to_string(hidden) + " more lines in the report", kRed);
  }
  return lines;
}

void Panel(PLFLT x_low, PLFLT x_high, PLFLT y_low, PLFLT y_high, const char *x_options,
           const char *y_options) {
  plcol0(kGrey);
  plwind(x_low, x_high, y_low, y_high);
  plbox("g", 0.0, 0, "g", 0.0, 0);
  plcol0(kBlack);
  plbox(x_options, 0.0, 0, y_options, 0.0, 0);
}

// The residuals' scale is that of the pairs that are not outliers, so that
// none of them is flattened by one wild pair; outliers beyond it sit at
// the panel's edge as triangles pointing the way they went.
void Residuals(const Alignment &result, PLFLT t_low, PLFLT t_high) {
  std::vector<PLFLT> t, r, t_in, r_in, t_up, t_down;
  double largest = 0, largest_outlier = 0;
  for (const Pair &p : result.pairs) {
    if (!p.outlier)
      largest = std::max(largest, std::fabs(p.residual));
    else
      largest_outlier = std::max(largest_outlier, std::fabs(p.residual));
  }
  const bool any_regular = std::any_of(result.pairs.begin(), result.pairs.end(),
                                       [](const Pair &p) { return !p.outlier; });
  const Unit unit = UnitFor(any_regular ? largest : largest_outlier);
  double low = 0, high = 0;
  bool first = true;
  for (const Pair &p : result.pairs) {
    const double v = p.residual * unit.scale;
    if ((p.outlier && any_regular) || !std::isfinite(v)) continue;
    low = first ? v : std::min(low, v);
    high = first ? v : std::max(high, v);
    first = false;
  }
  const double margin = high > low ? 0.08 * (high - low) : std::max(std::fabs(high) * 0.1, 1.0);
  low -= margin;
  high += margin;
  // Inside the frame by a little, so that an edge mark is not cut in half.
  const double inset = 0.05 * (high - low);
  std::size_t beyond = 0;
  for (const Pair &p : result.pairs) {
    const double v = p.residual * unit.scale;
    if (!p.outlier) {
      t.push_back(p.eeg_time);
      r.push_back(v);
    } else if (v > high) {
      t_up.push_back(p.eeg_time);
      ++beyond;
    } else if (v < low) {
      t_down.push_back(p.eeg_time);
      ++beyond;
    } else {
      t_in.push_back(p.eeg_time);
      r_in.push_back(v);
    }
  }
  Panel(t_low, t_high, low, high, "bcnst", "bcnstv");
  pllab("", (std::string("residual (") + unit.name + ")").c_str(), "");
  plmtex("t", 2.6, 0.0, 0.0, "Marker time minus mapped onset, by EEG time");
  plcol0(kBlue);
  plmtex("t", 1.2, 0.0, 0.0, ("pairs: " + std::to_string(t.size()) + " (blue)").c_str());
  plcol0(kRed);
  std::string outliers =
      "outliers: " + std::to_string(result.pairs.size() - t.size()) + " (red \u00d7)";
  if (beyond > 0)
    outliers += ", " + std::to_string(beyond) + " beyond the scale at its edge (\u25b2 \u25bc), " +
                base::Format("largest |r| %.3f ms", largest_outlier * 1e3);
  plmtex("t", 1.2, 1.0, 1.0, outliers.c_str());
  plcol0(kBlue);
  if (!t.empty()) plpoin(static_cast<PLINT>(t.size()), t.data(), r.data(), 17);
  plcol0(kRed);
  if (!t_in.empty()) plpoin(static_cast<PLINT>(t_in.size()), t_in.data(), r_in.data(), 5);
  const std::vector<PLFLT> at_top(t_up.size(), high - inset), at_bottom(t_down.size(), low + inset);
  if (!t_up.empty())
    plstring(static_cast<PLINT>(t_up.size()), t_up.data(), at_top.data(), "\u25b2");
  if (!t_down.empty())
    plstring(static_cast<PLINT>(t_down.size()), t_down.data(), at_bottom.data(), "\u25bc");
}

// Two rows along the EEG time: the onsets (lower) and the markers (upper),
// each a light line from its recording's first event to its last, and a
// tick at every event without a partner.
void Unmatched(const Alignment &result, const Sources &sources, PLFLT t_low, PLFLT t_high) {
  const bool mapped = result.outcome == Outcome::kOk && result.b > 0;
  Panel(t_low, t_high, 0.0, 2.0, "bcnst", "bc");
  pllab("EEG time (s)", "", "");
  plmtex("lv", 1.0, 0.25, 1.0, "onsets");
  plmtex("lv", 1.0, 0.75, 1.0, "markers");
  auto row = [](const std::vector<double> &times, PLFLT middle, Colour span, Colour tick,
                const std::vector<std::size_t> &unmatched, const auto &place) {
    if (times.empty()) return;
    plcol0(span);
    pljoin(place(times.front()), middle, place(times.back()), middle);
    plcol0(tick);
    plwidth(2.0);
    for (std::size_t i : unmatched) {
      if (i >= times.size()) continue;
      const PLFLT x = place(times[i]);
      pljoin(x, middle - 0.35, x, middle + 0.35);
    }
    plwidth(1.0);
  };
  const std::vector<double> none;
  const std::vector<double> &onsets = sources.onset_times ? *sources.onset_times : none;
  const std::vector<double> &markers = sources.marker_times ? *sources.marker_times : none;
  row(onsets, 0.5, kLightOrange, kOrange, result.unmatched_onsets, [](double t) { return t; });
  if (mapped)
    row(markers, 1.5, kLightPurple, kPurple, result.unmatched_markers,
        [&](double m) { return (m - result.a) / result.b; });
  plcol0(kOrange);
  plmtex("t", 1.0, 0.0, 0.0,
         ("onsets without marker: " + std::to_string(result.unmatched_onsets.size()) + " (orange)")
             .c_str());
  plcol0(kPurple);
  plmtex("t", 1.0, 1.0, 1.0,
         ("markers without onset: " + std::to_string(result.unmatched_markers.size()) +
          (mapped ? " (purple)" : " (not placed: no mapping)"))
             .c_str());
}

void Histogram(const Alignment &result) {
  std::vector<PLFLT> values;
  double largest = 0;
  for (const Pair &p : result.pairs) {
    if (p.outlier || !std::isfinite(p.residual)) continue;
    values.push_back(p.residual);
    largest = std::max(largest, std::fabs(p.residual));
  }
  const Unit unit = UnitFor(largest);
  for (PLFLT &v : values) v *= unit.scale;
  double low = -1, high = 1;
  if (!values.empty()) {
    low = *std::min_element(values.begin(), values.end());
    high = *std::max_element(values.begin(), values.end());
    const double margin = high > low ? 0.05 * (high - low) : std::max(std::fabs(high) * 0.1, 1.0);
    low -= margin;
    high += margin;
  }
  const int bins =
      std::clamp(static_cast<int>(std::sqrt(static_cast<double>(values.size()))), 5, kMaxBins);
  std::vector<PLFLT> counts(static_cast<std::size_t>(bins), 0), centres(counts.size());
  const double width = (high - low) / bins;
  for (PLFLT v : values) {
    const int bin = std::clamp(static_cast<int>((v - low) / width), 0, bins - 1);
    counts[static_cast<std::size_t>(bin)] += 1;
  }
  for (int b = 0; b < bins; ++b) centres[static_cast<std::size_t>(b)] = low + (b + 0.5) * width;
  const double top = std::max<PLFLT>(1.0, *std::max_element(counts.begin(), counts.end()));
  Panel(low, high, 0, top * 1.1, "bcnst", "bcnstv");
  pllab((std::string("residual (") + unit.name + ")").c_str(), "pairs",
        "Histogram of the residuals without outliers");
  plcol0(kBlue);
  plbin(bins, centres.data(), counts.data(), PL_BIN_CENTRED);
}

}  // namespace

base::Status<PlotError> PlotResiduals(const Alignment &result, const Sources &sources,
                                      const PlotAnnotations &annotations, const std::string &path) {
  // The time axis spans both recordings, so that where either begins or
  // ends, or has a gap, shows.
  const bool mapped = result.outcome == Outcome::kOk && result.b > 0;
  double t_min = 0, t_max = 0;
  bool first = true;
  auto cover = [&](double t) {
    if (!std::isfinite(t)) return;
    t_min = first ? t : std::min(t_min, t);
    t_max = first ? t : std::max(t_max, t);
    first = false;
  };
  for (const Pair &p : result.pairs) cover(p.eeg_time);
  if (sources.onset_times)
    for (double t : *sources.onset_times) cover(t);
  if (mapped && sources.marker_times)
    for (double m : *sources.marker_times) cover((m - result.a) / result.b);
  if (t_max <= t_min) t_max = t_min + 1;
  const double t_pad = 0.02 * (t_max - t_min);

  const auto header = HeaderFor(result, sources, annotations);

  const plotting::PageStatus begun = plotting::BeginPage(path, {"maroquint-align", EX_IOERR});
  if (!begun) return Failed(begun);

  plvpor(0.03, 0.97, 0.80, 0.985);
  plwind(0, 1, 0, 1);
  PLFLT line = 1;
  for (const auto &[text, colour] : header) {
    plcol0(colour);
    plmtex("t", -1.6 * line, 0.0, 0.0, Escaped(text).c_str());
    ++line;
  }

  plvpor(0.10, 0.96, 0.53, 0.76);
  Residuals(result, t_min - t_pad, t_max + t_pad);
  plvpor(0.10, 0.96, 0.37, 0.45);
  Unmatched(result, sources, t_min - t_pad, t_max + t_pad);
  plvpor(0.10, 0.96, 0.07, 0.27);
  Histogram(result);
  const plotting::PageStatus ended = plotting::EndPage(path);
  if (!ended) return Failed(ended);
  return {};
}

}  // namespace maroquint::align
