#include "base/stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace maroquint::base {

double NearestRankPercentile(std::vector<double> values, double fraction) {
  if (values.empty() || !(fraction >= 0.0 && fraction <= 1.0))
    return std::numeric_limits<double>::quiet_NaN();
  const double rank = std::ceil(fraction * static_cast<double>(values.size()));
  const std::size_t index = rank < 1.0 ? 0 : static_cast<std::size_t>(rank) - 1;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                   values.end());
  return values[index];
}

}  // namespace maroquint::base
