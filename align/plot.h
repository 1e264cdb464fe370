// Draws an alignment: the residuals over time, where the onsets and markers
// without a partner fall, their histogram, and the mapping with what the
// two inputs were.
#pragma once

#include <optional>
#include <string>

#include "pairing.h"
#include "report.h"

namespace maroquint::align {

struct Interval {
  double low = 0;
  double high = 0;
};

// The 95 % intervals, when the fit has them: of the offset `a` (seconds)
// and of the drift (ppm, as Alignment::DriftPpm).
struct PlotIntervals {
  std::optional<Interval> offset_s;
  std::optional<Interval> drift_ppm;
};

// Writes an .svg or .png file (by the path's extension); false with a
// message when the format is not known or the file cannot be written.
// `sources` names the inputs and holds the onset and marker times that the
// result's indices refer to.
bool PlotResiduals(const Alignment &result, const Sources &sources, const PlotIntervals &intervals,
                   const std::string &path, std::string &error);

}  // namespace maroquint::align
