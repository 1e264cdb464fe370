#include "wire.h"

#include <cmath>

namespace simdaq {

Wire::Wire(const Settings &settings)
    : mode_(settings.wire),
      stuck_volts_(settings.stuck_volts),
      script_(settings.script),
      cuts_(settings.cuts),
      time_constant_(settings.lowpass),
      sigma_(settings.noise),
      seed_(settings.seed),
      plain_(settings.wire == WireMode::Connected && settings.delay == 0 &&
             settings.lowpass == 0.0 && settings.noise == 0.0 && settings.cuts.empty()),
      delay_line_(static_cast<std::size_t>(settings.delay), 0.0) {}

void Wire::Start(double sample_period, double min_volts, double max_volts) {
  for (auto &v : delay_line_) v = 0.0;
  delay_pos_ = 0;
  alpha_ = time_constant_ > 0.0 ? 1.0 - std::exp(-sample_period / time_constant_) : 1.0;
  filtered_ = 0.0;
  min_ = min_volts;
  max_ = max_volts;
  index_ = 0;
  rng_ = seed_;
  have_spare_ = false;
}

bool Wire::InCut(std::uint64_t k) const {
  for (const auto &cut : cuts_)
    if (k >= cut.from && k < cut.to) return true;
  return false;
}

// SplitMix64 and Box-Muller written out here, because the standard
// distributions differ between standard libraries and the noise must be the
// same wherever a test runs.
double Wire::Gaussian() {
  if (have_spare_) {
    have_spare_ = false;
    return spare_;
  }
  auto next = [this]() {
    std::uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
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

double Wire::Next(double driven) {
  const std::uint64_t k = index_++;
  if (plain_) return driven < min_ ? min_ : (driven > max_ ? max_ : driven);
  double x = driven;
  if (!delay_line_.empty()) {
    x = delay_line_[delay_pos_];
    delay_line_[delay_pos_] = driven;
    if (++delay_pos_ == delay_line_.size()) delay_pos_ = 0;
  }
  filtered_ += alpha_ * (x - filtered_);
  x = filtered_;
  if (mode_ == WireMode::Disconnected || InCut(k))
    x = 0.0;
  else if (mode_ == WireMode::Stuck)
    x = stuck_volts_;
  if (sigma_ > 0.0) x += sigma_ * Gaussian();
  if (mode_ == WireMode::Script && k < script_.size()) return script_[k];
  if (std::isnan(x)) return x;
  return x < min_ ? min_ : (x > max_ ? max_ : x);
}

}  // namespace simdaq
