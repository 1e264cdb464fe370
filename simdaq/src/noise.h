// Gaussian noise from a seed, the same with every compiler and standard library.
#pragma once

#include <cstdint>

namespace maroquint::simdaq {

class GaussianNoise {
 public:
  explicit GaussianNoise(std::uint64_t seed = 1) { Reset(seed); }
  void Reset(std::uint64_t seed);
  // The next value of standard deviation 1.
  double Next();

 private:
  std::uint64_t state_ = 0;
  bool have_spare_ = false;
  double spare_ = 0.0;
};

}  // namespace maroquint::simdaq
