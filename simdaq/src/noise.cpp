#include "noise.h"

#include <cmath>

namespace maroquint::simdaq {

void GaussianNoise::Reset(std::uint64_t seed) {
  state_ = seed;
  have_spare_ = false;
}

// SplitMix64 and Box-Muller written out here, because the standard
// distributions differ between standard libraries and the noise must be the
// same wherever a test runs.
double GaussianNoise::Next() {
  if (have_spare_) {
    have_spare_ = false;
    return spare_;
  }
  auto next = [this]() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  // 53 random bits in (0, 1]: never 0, so the logarithm stays finite.
  const double u1 = (static_cast<double>(next() >> 11) + 1.0) * 0x1.0p-53;
  const double u2 = static_cast<double>(next() >> 11) * 0x1.0p-53;
  const double r = std::sqrt(-2.0 * std::log(u1));
  const double theta = 6.283185307179586 * u2;
  spare_ = r * std::sin(theta);
  have_spare_ = true;
  return r * std::cos(theta);
}

}  // namespace maroquint::simdaq
