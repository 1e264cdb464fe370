// Draws the residuals of an alignment: over time, and their histogram.
#pragma once

#include <string>

#include "pairing.h"

namespace maroquint::align {

// Writes an .svg or .png file (by the path's extension); false with a
// message when the format is not known or the file cannot be written.
bool PlotResiduals(const Alignment &result, const std::string &path, std::string &error);

}  // namespace maroquint::align
