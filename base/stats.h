#pragma once

#include <vector>

namespace maroquint::base {

// The nearest-rank percentile: the smallest value with at least `fraction`
// (0 to 1) of the values at or below it; of no values, NaN. Takes a copy
// because it reorders.
double NearestRankPercentile(std::vector<double> values, double fraction);

}  // namespace maroquint::base
