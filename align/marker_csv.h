// Reads the marker times out of maroquint-monitor's CSV: the --csv output
// (a header row, then a row per marker) and the --output file (the same
// after a first line "# maroquint-monitor: stream "NAME"  type ...").
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace maroquint::align {

enum class CsvError {
  kEmpty,        // no header row
  kNoTimestamp,  // the header row has no `timestamp` column
  kNotANumber,   // a timestamp that is no number (the message gives its line)
};

struct MarkerCsv {
  std::vector<double> times;  // the markers' time stamps, on the sender's clock
  std::string stream;         // as the monitor's first line names it; empty without one
};

// The `timestamp` column of a CSV text with a header row; other columns,
// in any order, are passed over, and so are lines that begin with '#'.
base::Result<MarkerCsv, CsvError> ParseMarkerCsv(std::string_view text);

}  // namespace maroquint::align
