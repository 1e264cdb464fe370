// Reads the marker times out of maroquint-monitor's --csv output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace maroquint::align {

// The `timestamp` column (the markers' time stamps on the sender's clock)
// of a CSV text with a header row; other columns, in any order, are
// passed over. Returns false with a message when there is no such column
// or a value is not a number.
bool ParseMarkerCsv(std::string_view text, std::vector<double> &times, std::string &error);

}  // namespace maroquint::align
