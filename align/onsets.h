// Finds the trigger onsets in a recorded channel: the samples where one bit
// (or, for the experiment's triggers, any bit of a mask) of the channel's
// value goes from 0 to set, and how long it stays set.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace maroquint::align {

class EdgeDetector {
 public:
  explicit EdgeDetector(int bit) : mask_(std::uint64_t{1} << bit) {}
  // Onsets where (value & mask) goes from 0 to non-zero.
  static EdgeDetector ForMask(std::uint64_t mask) {
    EdgeDetector detector(0);
    detector.mask_ = mask;
    return detector;
  }

  // Takes the next `count` samples of the channel, `stride` values apart.
  // A bit already set at the first sample of the recording is no onset: its
  // rise was not recorded.
  template <typename T>
  void Feed(const T *values, std::size_t count, std::size_t stride = 1) {
    for (std::size_t i = 0; i < count; ++i, ++index_) {
      const bool high = (static_cast<std::uint64_t>(ToInteger(values[i * stride])) & mask_) != 0;
      if (high && index_ > 0 && !previous_) {
        onsets_.push_back(index_);
        high_samples_.push_back(-1);
      }
      if (!high && previous_ && !onsets_.empty() && high_samples_.back() < 0) {
        high_samples_.back() = index_ - onsets_.back();
      }
      previous_ = high;
    }
  }

  // Sample indices (from 0, the recording's first sample) of the onsets.
  const std::vector<std::int64_t> &Onsets() const { return onsets_; }
  // For each onset, the samples for which the bit stayed set; -1 when it
  // was still set at the last sample seen.
  const std::vector<std::int64_t> &HighSamples() const { return high_samples_; }
  std::int64_t SamplesSeen() const { return index_; }

 private:
  // Trigger channels that reach us as floating point (an LSL stream of
  // float32) hold integers; values beyond int64 or NaN count as 0.
  template <typename T>
  static std::int64_t ToInteger(T value) {
    if constexpr (std::is_floating_point_v<T>) {
      if (!(std::fabs(value) < 9.2e18)) return 0;
      return std::llround(value);
    } else {
      return static_cast<std::int64_t>(value);
    }
  }

  std::uint64_t mask_;
  bool previous_ = false;
  std::int64_t index_ = 0;
  std::vector<std::int64_t> onsets_;
  std::vector<std::int64_t> high_samples_;
};

}  // namespace maroquint::align
