// Draws an alignment: the residuals over time, where the onsets and markers
// without a partner fall, their histogram, and the mapping with what the
// two inputs were.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "pairing.h"
#include "report.h"

namespace maroquint::align {

struct Interval {
  double low = 0;
  double high = 0;
};

// What the picture says beyond the alignment's numbers: the 95 % intervals
// of the offset `a` (seconds) and of the drift (ppm, as
// Alignment::DriftPpm) when the fit has them, and the warnings that change
// what the numbers mean (each a sentence without a "warning:" of its own).
struct PlotAnnotations {
  std::optional<Interval> offset_s;
  std::optional<Interval> drift_ppm;
  std::vector<std::string> warnings;
};

enum class PlotError {
  kUnknownFormat,  // the path ends in neither .svg nor .png
  kNoDriver,       // this PLplot cannot draw that format
  kCannotWrite,    // the file cannot be written, or came out empty
};

// Writes an .svg or .png file (by the path's extension). `sources` names
// the inputs and holds the onset and marker times that the result's
// indices refer to.
base::Status<PlotError> PlotResiduals(const Alignment &result, const Sources &sources,
                                      const PlotAnnotations &annotations, const std::string &path);

}  // namespace maroquint::align
