#include "wire.h"

#include <cmath>

namespace maroquint::simdaq {

Wire::Wire(const Settings &settings)
    : mode_(settings.wire),
      stuck_volts_(settings.stuck_volts),
      script_(settings.script),
      cuts_(settings.cuts),
      time_constant_(settings.lowpass),
      sigma_(settings.noise),
      seed_(settings.seed),
      plain_(settings.wire == WireMode::kConnected && settings.delay == 0 &&
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
  noise_.Reset(seed_);
}

bool Wire::InCut(std::uint64_t k) const {
  for (const auto &cut : cuts_)
    if (k >= cut.from && k < cut.to) return true;
  return false;
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
  if (mode_ == WireMode::kDisconnected || InCut(k))
    x = 0.0;
  else if (mode_ == WireMode::kStuck)
    x = stuck_volts_;
  if (sigma_ > 0.0) x += sigma_ * noise_.Next();
  if (mode_ == WireMode::kScript && k < script_.size()) return script_[k];
  if (std::isnan(x)) return x;
  return x < min_ ? min_ : (x > max_ ? max_ : x);
}

}  // namespace maroquint::simdaq
