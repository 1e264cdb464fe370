#include "amplifier.h"

#include <cmath>

namespace maroquint::simdaq {

namespace {
// A quiet EEG: the amplifier's own noise with the electrodes on.
constexpr double kEegNoiseMicrovolts = 1.0;
}  // namespace

Amplifier::Amplifier(double rate, double drift_ppm, std::uint64_t seed)
    : period_ns_(1e9 / (rate * (1.0 + drift_ppm * 1e-6))), noise_(seed) {}

void Amplifier::Start(Nanos t0) {
  started_ = true;
  t0_ = t0;
  n_ = 0;
  high_ = last_high_;
  changes_.clear();
}

bool Amplifier::SetLevel(Nanos when, double volts) {
  const bool high = volts >= kTriggerThreshold;
  if (high == last_high_) return false;
  last_high_ = high;
  // Until the first sample only the level at it matters: a recording that
  // starts days into a run keeps no queue of the changes before it.
  if (!started_ || when <= t0_) {
    high_ = high;
    return false;
  }
  changes_.emplace_back(when, high);
  return high;
}

Nanos Amplifier::SampleTime(std::uint64_t n) const {
  return t0_ + static_cast<Nanos>(std::llround(static_cast<double>(n) * period_ns_));
}

bool Amplifier::Next(Nanos until, AmplifierSample &sample) {
  if (!started_) return false;
  const Nanos t = SampleTime(n_);
  if (t >= until) return false;
  while (!changes_.empty() && changes_.front().first <= t) {
    high_ = changes_.front().second;
    changes_.pop_front();
  }
  ++n_;
  sample.status = high_ ? 1 : 0;
  for (double &v : sample.eeg) v = kEegNoiseMicrovolts * noise_.Next();
  return true;
}

}  // namespace maroquint::simdaq
