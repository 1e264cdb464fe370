#include "plot.h"

#include <plplot.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace maroquint::align {
namespace {

bool HasDevice(const char *name) {
  // plgDevs fills at most as many entries as the count it is given.
  constexpr int kRoom = 256;
  std::vector<const char *> menu(kRoom, nullptr), device(kRoom, nullptr);
  const char **m = menu.data();
  const char **d = device.data();
  int count = kRoom;
  plgDevs(&m, &d, &count);
  for (int i = 0; i < count && i < kRoom; ++i) {
    if (device[i] != nullptr && std::string(device[i]) == name) return true;
  }
  return false;
}

}  // namespace

bool PlotResiduals(const Alignment &result, const std::string &path, std::string &error) {
  const std::size_t dot = path.rfind('.');
  std::string extension = dot == std::string::npos ? "" : path.substr(dot + 1);
  std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
  const char *device = extension == "svg" ? "svg" : extension == "png" ? "pngcairo" : nullptr;
  if (device == nullptr) {
    error = path + ": the plot is written as .svg or .png";
    return false;
  }
  if (!HasDevice(device)) {
    error = path + ": this PLplot has no '" + device + "' driver";
    return false;
  }
  if (std::FILE *probe = std::fopen(path.c_str(), "wb")) {
    std::fclose(probe);
  } else {
    error = path + ": cannot write the file";
    return false;
  }
  std::vector<PLFLT> t, r, t_out, r_out, histogram;
  for (const Pair &p : result.pairs) {
    (p.outlier ? t_out : t).push_back(p.eeg_time);
    (p.outlier ? r_out : r).push_back(p.residual * 1e3);
    if (!p.outlier) histogram.push_back(p.residual * 1e3);
  }
  double t_min = 0, t_max = 1, r_min = -1, r_max = 1;
  for (const Pair &p : result.pairs) {
    t_min = std::min(t_min, p.eeg_time);
    t_max = std::max(t_max, p.eeg_time);
    r_min = std::min(r_min, p.residual * 1e3);
    r_max = std::max(r_max, p.residual * 1e3);
  }
  const double r_pad = 0.05 * (r_max - r_min);
  double h_min = -1e-3, h_max = 1e-3;
  for (double v : histogram) h_min = std::min(h_min, v), h_max = std::max(h_max, v);

  plsdev(device);
  plsfnam(path.c_str());
  plsetopt("geometry", "1000x800");
  plscolbg(255, 255, 255);
  plscol0(1, 0, 0, 0);
  plscol0(2, 0, 60, 200);
  plscol0(3, 220, 0, 0);
  plssub(1, 2);
  plinit();
  plfontld(1);

  // plenv moves to the next subpage by itself.
  plcol0(1);
  plenv(t_min, t_max, r_min - r_pad, r_max + r_pad, 0, 0);
  pllab("EEG time (s)", "residual (ms)", "Marker time minus mapped onset");
  plcol0(2);
  if (!t.empty()) plpoin(static_cast<PLINT>(t.size()), t.data(), r.data(), 17);
  plcol0(3);
  if (!t_out.empty()) plpoin(static_cast<PLINT>(t_out.size()), t_out.data(), r_out.data(), 5);

  plcol0(1);
  const int bins = std::clamp(static_cast<int>(std::sqrt(histogram.size())), 5, 60);
  std::vector<PLFLT> counts(static_cast<std::size_t>(bins), 0), centers(counts.size());
  const double width = (h_max - h_min) / bins;
  for (double v : histogram) {
    const int bin = std::min(bins - 1, static_cast<int>((v - h_min) / width));
    counts[static_cast<std::size_t>(bin)] += 1;
  }
  for (int b = 0; b < bins; ++b) centers[static_cast<std::size_t>(b)] = h_min + (b + 0.5) * width;
  const double top = std::max(1.0, *std::max_element(counts.begin(), counts.end()));
  plenv(h_min, h_max, 0, top * 1.1, 0, 0);
  pllab("residual (ms)", "pairs", "Residuals without outliers");
  plcol0(2);
  plbin(bins, centers.data(), counts.data(), PL_BIN_CENTRED);
  plend();
  return true;
}

}  // namespace maroquint::align
