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

constexpr double kMilli = 1000.0;
constexpr int kBins = 40;

// Colour map 0 entries set up for the picture.
enum Colour : PLINT { kBlack = 1, kBlue = 2, kRed = 3, kGrey = 4 };

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

void Panel(PLFLT x_low, PLFLT x_high, PLFLT y_low, PLFLT y_high, const char *x_label,
           const char *y_label, const char *title) {
  pladv(0);
  plvsta();
  plwind(x_low, x_high, y_low, y_high);
  plcol0(kGrey);
  plbox("g", 0.0, 0, "g", 0.0, 0);
  plcol0(kBlack);
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pllab(x_label, y_label, title);
}

void Timeline(const WatchReport &report, PLFLT watched) {
  std::vector<PLFLT> at, deviation, missed_at;
  for (const MarkerPoint &marker : report.markers) {
    at.push_back(marker.at);
    deviation.push_back(marker.deviation * kMilli);
    if (marker.missed > 0) missed_at.push_back(marker.at);
  }
  PLFLT low = 0.0, high = 0.0;
  Range(deviation, low, high);
  char title[160];
  std::snprintf(title, sizeof title, "interval - period of each marker (%zu missed-pulse gaps)",
                missed_at.size());
  Panel(0.0, watched, low, high, "time since the watch began (s)", "interval - period (ms)", title);
  // A gap of missed pulses: a red line across the panel at the marker that ended it.
  plcol0(kRed);
  for (const PLFLT x : missed_at) pljoin(x, low, x, high);
  plcol0(kBlue);
  if (!at.empty()) plpoin(static_cast<PLINT>(at.size()), at.data(), deviation.data(), 17);
}

void Histogram(const WatchReport &report) {
  // Gaps are in the timeline; here the regular intervals alone, so that a
  // gap of seconds does not squash the jitter of milliseconds.
  std::vector<PLFLT> deviation;
  for (const MarkerPoint &marker : report.markers)
    if (marker.missed == 0) deviation.push_back(marker.deviation * kMilli);
  PLFLT low = 0.0, high = 0.0;
  Range(deviation, low, high);
  const PLFLT width = (high - low) / kBins;
  std::vector<PLFLT> centre(kBins), count(kBins, 0.0);
  for (int i = 0; i < kBins; ++i) centre[i] = low + (i + 0.5) * width;
  for (const PLFLT value : deviation)
    count[std::min(kBins - 1, static_cast<int>((value - low) / width))] += 1.0;
  const PLFLT top = std::max<PLFLT>(1.0, *std::max_element(count.begin(), count.end())) * 1.1;
  Panel(low, high, 0.0, top, "interval - period (ms)", "markers",
        "histogram of the deviations (intervals without missed pulses)");
  plcol0(kBlue);
  plbin(kBins, centre.data(), count.data(), PL_BIN_CENTRED);
}

void Correction(const WatchReport &report, PLFLT watched) {
  std::vector<PLFLT> at, value, low_bar, high_bar;
  for (const CorrectionPoint &point : report.correction_points) {
    at.push_back(point.at);
    value.push_back(point.correction * kMilli);
    // The correction is off by at most half the round trip.
    low_bar.push_back((point.correction - point.round_trip / 2) * kMilli);
    high_bar.push_back((point.correction + point.round_trip / 2) * kMilli);
  }
  std::vector<PLFLT> both = low_bar;
  both.insert(both.end(), high_bar.begin(), high_bar.end());
  PLFLT low = 0.0, high = 0.0;
  Range(both, low, high);
  Panel(0.0, watched, low, high, "time since the watch began (s)", "time correction (ms)",
        "time correction, with +/- half its round-trip time");
  if (at.empty()) return;
  const auto n = static_cast<PLINT>(at.size());
  plcol0(kRed);
  plerry(n, at.data(), low_bar.data(), high_bar.data());
  plcol0(kBlue);
  plline(n, at.data(), value.data());
  plpoin(n, at.data(), value.data(), 17);
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
  plssub(1, 3);
  plinit();
  const PLFLT watched = std::max(report.watched, 1.0);
  Timeline(report, watched);
  Histogram(report);
  Correction(report, watched);
  std::string caption = verdict;
  if (report.stream) caption = "\"" + report.stream->name + "\": " + verdict;
  // The verdict above the first panel's title, where a reader looks first.
  pladv(1);
  plvsta();
  plcol0(kBlack);
  plmtex("t", 2.6, 0.5, 0.5, caption.c_str());
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
