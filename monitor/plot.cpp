#include "plot.h"

#include <plplot.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace maroquint::monitor {
namespace {

constexpr int kBins = 40;
// Characters per line of the verdict above the picture.
constexpr std::size_t kCaptionWidth = 90;

// Colour map 0 entries set up for the picture.
enum Colour : PLINT { kBlack = 1, kBlue = 2, kRed = 3, kGrey = 4, kOrange = 5 };

// PLplot ends the process on an error, whatever its handler returns; the
// handler makes that end a failed write rather than a success. The file is
// tried before the watch (PlotRecorder::Open) and drawn last, after the other
// files are complete, so this is for the unforeseen.
int ExitAsFailedWrite(PLCHAR_VECTOR message) {
  std::fprintf(stderr, "maroquint-monitor: cannot draw the picture: %s\n",
               message ? message : "PLplot failed");
  return kExitWriteFailed;
}

bool EndsWithPng(const std::string &path) {
  if (path.size() < 4) return false;
  std::string suffix = path.substr(path.size() - 4);
  for (char &c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return suffix == ".png";
}

// Milliseconds, or microseconds for values that small (a correction over
// loopback is tens of microseconds): the axis then needs no exponent.
struct Unit {
  double scale;
  const char *name;
};
Unit UnitFor(const std::vector<double> &seconds) {
  double largest = 0.0;
  for (const double value : seconds) largest = std::max(largest, std::fabs(value));
  if (largest > 0.0 && largest < 1e-3) return {1e6, "#gms"};
  return {1e3, "ms"};
}

std::vector<PLFLT> Scaled(const std::vector<double> &seconds, const Unit &unit) {
  std::vector<PLFLT> values;
  for (const double value : seconds) values.push_back(value * unit.scale);
  return values;
}

// [low, high] covering the values, never empty.
void Range(const std::vector<PLFLT> &values, PLFLT &low, PLFLT &high) {
  if (values.empty()) {
    low = -1.0;
    high = 1.0;
    return;
  }
  low = *std::min_element(values.begin(), values.end());
  high = *std::max_element(values.begin(), values.end());
  const PLFLT margin = high > low ? 0.08 * (high - low) : std::max(std::fabs(high) * 0.1, 0.001);
  low -= margin;
  high += margin;
}

void Panel(PLFLT x_low, PLFLT x_high, PLFLT y_low, PLFLT y_high, const std::string &x_label,
           const std::string &y_label, const std::string &title) {
  plcol0(kGrey);
  plwind(x_low, x_high, y_low, y_high);
  plbox("g", 0.0, 0, "g", 0.0, 0);
  plcol0(kBlack);
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pllab(x_label.c_str(), y_label.c_str(), title.c_str());
}

// The intervals of a regular run of markers: neither closing a gap of
// missed pulses nor early (under half a period).
bool Regular(const MarkerPoint &marker, double period) {
  return marker.missed == 0 && marker.deviation > -0.5 * period;
}

// Gaps and early markers are lines across the panel, in their own colours;
// the regular intervals keep the scale, so that jitter of microseconds is
// not flattened by a gap of seconds.
void Timeline(const WatchReport &report, PLFLT watched) {
  std::vector<double> regular_at, regular_deviation;
  std::vector<PLFLT> gaps, early;
  for (const MarkerPoint &marker : report.markers) {
    if (Regular(marker, report.period)) {
      regular_at.push_back(marker.at);
      regular_deviation.push_back(marker.deviation);
    } else {
      (marker.missed > 0 ? gaps : early).push_back(marker.at);
    }
  }
  const Unit unit = UnitFor(regular_deviation);
  const std::vector<PLFLT> deviation = Scaled(regular_deviation, unit);
  PLFLT low = 0.0, high = 0.0;
  Range(deviation, low, high);
  char title[160];
  std::snprintf(title, sizeof title,
                "interval - period of each marker; gaps of missed pulses: %zu (red), early or "
                "extra markers: %zu (orange)",
                gaps.size(), early.size());
  Panel(-0.02 * watched, watched, low, high, "time since the watch began (s)",
        std::string("interval - period (") + unit.name + ")", title);
  // Red last: an early marker right after a gap (a late cycle followed at
  // once by the next) must not hide the gap.
  plcol0(kOrange);
  for (const PLFLT x : early) pljoin(x, low, x, high);
  plcol0(kRed);
  for (const PLFLT x : gaps) pljoin(x, low, x, high);
  plcol0(kBlue);
  std::vector<PLFLT> at(regular_at.begin(), regular_at.end());
  if (!at.empty()) plpoin(static_cast<PLINT>(at.size()), at.data(), deviation.data(), 17);
}

void Histogram(const WatchReport &report) {
  std::vector<double> regular;
  for (const MarkerPoint &marker : report.markers)
    if (Regular(marker, report.period)) regular.push_back(marker.deviation);
  const Unit unit = UnitFor(regular);
  const std::vector<PLFLT> deviation = Scaled(regular, unit);
  PLFLT low = 0.0, high = 0.0;
  Range(deviation, low, high);
  const PLFLT width = (high - low) / kBins;
  std::vector<PLFLT> centre(kBins), count(kBins, 0.0);
  for (int i = 0; i < kBins; ++i) centre[i] = low + (i + 0.5) * width;
  for (const PLFLT value : deviation)
    count[std::min(kBins - 1, static_cast<int>((value - low) / width))] += 1.0;
  const PLFLT top = std::max<PLFLT>(1.0, *std::max_element(count.begin(), count.end())) * 1.1;
  Panel(low, high, 0.0, top, std::string("interval - period (") + unit.name + ")", "markers",
        "histogram of the deviations (regular intervals)");
  plcol0(kBlue);
  plbin(kBins, centre.data(), count.data(), PL_BIN_CENTRED);
}

void Correction(const WatchReport &report, PLFLT watched) {
  std::vector<PLFLT> at;
  std::vector<double> value, low_bar, high_bar;
  for (const CorrectionPoint &point : report.correction_points) {
    at.push_back(point.at);
    value.push_back(point.correction);
    // The correction is off by at most half the round trip.
    low_bar.push_back(point.correction - point.round_trip / 2);
    high_bar.push_back(point.correction + point.round_trip / 2);
  }
  std::vector<double> both = low_bar;
  both.insert(both.end(), high_bar.begin(), high_bar.end());
  const Unit unit = UnitFor(both);
  const std::vector<PLFLT> scaled_value = Scaled(value, unit);
  const std::vector<PLFLT> scaled_low = Scaled(low_bar, unit);
  const std::vector<PLFLT> scaled_high = Scaled(high_bar, unit);
  std::vector<PLFLT> scaled_both = scaled_low;
  scaled_both.insert(scaled_both.end(), scaled_high.begin(), scaled_high.end());
  PLFLT low = 0.0, high = 0.0;
  Range(scaled_both, low, high);
  Panel(-0.02 * watched, watched, low, high, "time since the watch began (s)",
        std::string("time correction (") + unit.name + ")",
        "time correction, with +/- half its round-trip time (red)");
  if (at.empty()) return;
  const auto n = static_cast<PLINT>(at.size());
  plcol0(kRed);
  plerry(n, at.data(), scaled_low.data(), scaled_high.data());
  plcol0(kBlue);
  plline(n, at.data(), scaled_value.data());
  plpoin(n, at.data(), scaled_value.data(), 17);
}

// The verdict in lines of at most kCaptionWidth characters, broken after
// the reasons' separators.
std::vector<std::string> CaptionLines(const std::string &caption) {
  std::vector<std::string> lines(1);
  std::size_t from = 0;
  while (from < caption.size()) {
    std::size_t to = caption.find("; ", from);
    to = to == std::string::npos ? caption.size() : to + 2;
    const std::string piece = caption.substr(from, to - from);
    if (!lines.back().empty() && lines.back().size() + piece.size() > kCaptionWidth)
      lines.emplace_back();
    lines.back() += piece;
    from = to;
  }
  return lines;
}

}  // namespace

std::string DrawWatchPlot(const std::string &path, const WatchReport &report,
                          const std::string &verdict) {
  plsexit(ExitAsFailedWrite);
  plsdev(EndsWithPng(path) ? "pngcairo" : "svg");
  plsfnam(path.c_str());
  plspage(0.0, 0.0, 1000, 1200, 0, 0);
  plscolbg(255, 255, 255);
  plscol0(kBlack, 0, 0, 0);
  plscol0(kBlue, 31, 87, 180);
  plscol0(kRed, 214, 39, 40);
  plscol0(kGrey, 215, 215, 215);
  plscol0(kOrange, 255, 127, 14);
  plinit();
  plschr(0.0, 0.6);
  const PLFLT watched = std::max(report.watched, 1.0);
  // Three panels one above the other; the verdict above them all.
  pladv(0);
  plcol0(kBlack);
  const std::vector<std::string> caption =
      CaptionLines((report.stream ? "\"" + report.stream->name + "\": " : "") + verdict);
  plvpor(0.0, 1.0, 0.0, 0.985);
  for (std::size_t i = 0; i < caption.size(); ++i)
    plmtex("t", -1.5 * static_cast<PLFLT>(i + 1), 0.5, 0.5, caption[i].c_str());
  plvpor(0.1, 0.96, 0.69, 0.90);
  Timeline(report, watched);
  plvpor(0.1, 0.96, 0.39, 0.60);
  Histogram(report);
  plvpor(0.1, 0.96, 0.08, 0.29);
  Correction(report, watched);
  plend();
  std::error_code error;
  if (std::filesystem::file_size(path, error) == 0 || error)
    return "cannot write " + path + ": the picture came out empty";
  return {};
}

std::string PlotRecorder::Open() {
  errno = 0;
  std::FILE *file = std::fopen(path_.c_str(), "wb");
  if (!file) return "cannot create " + path_ + ": " + std::strerror(errno);
  const bool written = std::fputc('\n', file) != EOF && std::fflush(file) == 0;
  const int error = errno;
  std::fclose(file);
  if (!written) return "cannot write " + path_ + ": " + std::strerror(error != 0 ? error : EIO);
  return {};
}

std::string PlotRecorder::Finish(const WatchReport &report, const std::vector<std::string> &reasons,
                                 int) {
  return DrawWatchPlot(path_, report, VerdictLine(reasons));
}

}  // namespace maroquint::monitor
