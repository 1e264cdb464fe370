// The wire from ao0 to ai0: turns the level ao0 drives at each input sample
// into the reading ai0 takes of it.
#pragma once

#include <cstdint>
#include <vector>

#include "noise.h"
#include "settings.h"

namespace maroquint::simdaq {

class Wire {
 public:
  explicit Wire(const Settings &settings);

  // Restarts at sample 0, as when the input task starts: the delay line and
  // the filter are emptied and the noise starts over from the seed.
  void Start(double sample_period, double min_volts, double max_volts);

  // The reading of the next sample, given the level ao0 drives now.
  double Next(double driven);

  std::uint64_t Index() const { return index_; }

 private:
  bool InCut(std::uint64_t k) const;

  WireMode mode_;
  double stuck_volts_;
  std::vector<double> script_;
  std::vector<Cut> cuts_;
  double time_constant_;
  double sigma_;
  std::uint64_t seed_;
  bool plain_;  // connected, nothing else: the reading is the driven level

  std::vector<double> delay_line_;
  std::size_t delay_pos_ = 0;
  double alpha_ = 1.0;
  double filtered_ = 0.0;
  double min_ = -10.0;
  double max_ = 10.0;
  std::uint64_t index_ = 0;
  GaussianNoise noise_;
};

}  // namespace maroquint::simdaq
