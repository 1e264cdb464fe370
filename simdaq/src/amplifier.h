// A simulated EEG amplifier whose trigger input sees the wire from ao0: a
// sampler on a clock of its own over explicit true time, with no I/O. Its
// sample n is taken at t0 + n / (rate * (1 + drift)); the Status value has
// trigger bit 0 set while the wire is at or above 2.5 V, and the EEG channels
// carry low noise.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

#include "device.h"
#include "noise.h"

namespace maroquint::simdaq {

constexpr int kAmplifierEegChannels = 3;
constexpr double kTriggerThreshold = 2.5;  // volts

struct AmplifierSample {
  std::int32_t status = 0;
  double eeg[kAmplifierEegChannels] = {};  // microvolts
};

class Amplifier {
 public:
  // rate in samples per second of its own clock, drift in parts per million.
  Amplifier(double rate, double drift_ppm, std::uint64_t seed);

  // Starts sampling: sample 0 is taken at true time t0.
  void Start(Nanos t0);
  bool Started() const { return started_; }
  Nanos T0() const { return t0_; }

  // The wire goes to volts at true time when, which is never before a
  // sample already taken. True if that is a rising edge of the trigger
  // after the first sample (one at or before it is no onset in the file).
  bool SetLevel(Nanos when, double volts);

  // Takes the next sample if its time is before until.
  bool Next(Nanos until, AmplifierSample &sample);

  // The true time of sample n.
  Nanos SampleTime(std::uint64_t n) const;

 private:
  double period_ns_;
  GaussianNoise noise_;
  bool started_ = false;
  Nanos t0_ = 0;
  std::uint64_t n_ = 0;
  bool high_ = false;                           // the trigger as of the latest sample taken
  bool last_high_ = false;                      // the trigger after every change given so far
  std::deque<std::pair<Nanos, bool>> changes_;  // trigger changes not yet sampled
};

}  // namespace maroquint::simdaq
