// Runs the built maroquint on the simulated device in real time, reads its
// markers as an LSL consumer and prints how far the intervals between their
// time stamps stray from 1 s. A measurement, not a test: a busy machine
// shows larger figures, and nothing fails on them.
//
// Usage: marker_intervals [intervals]   (default 10; run it through
// tools/netns-run so that its stream stays on this machine)

#include "program.h"

#include <lsl_c.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using maroquint::harness::kSourceId;
using maroquint::harness::kStartLine;
constexpr double kPeriod = 1.0;
constexpr double kTolerance = 0.001;

}  // namespace

int main(int argc, char **argv) {
  const long wanted = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 10;
  if (wanted < 1 || wanted > 100000) {
    std::fprintf(stderr, "intervals must be between 1 and 100000\n");
    return 2;
  }

  const auto program = maroquint::harness::StartProgram("clock=realtime;wire=connected");
  if (!program->Started() || !program->ReadUntil(kStartLine)) {
    std::fprintf(stderr, "maroquint did not start: %s\n", program->Output().c_str());
    return 1;
  }

  lsl_streaminfo info = nullptr;
  if (lsl_resolve_byprop(&info, 1, "source_id", kSourceId, 1, 10.0) < 1) {
    std::fprintf(stderr, "the marker stream was not found\n");
    return 1;
  }
  const lsl_inlet inlet = lsl_create_inlet(info, 360, 0, 1);
  lsl_destroy_streaminfo(info);
  if (inlet == nullptr) return 1;

  std::vector<double> stamps;
  while (static_cast<long>(stamps.size()) <= wanted) {
    char *sample[1] = {nullptr};
    int32_t error = 0;
    const double stamp = lsl_pull_sample_str(inlet, sample, 1, 5.0, &error);
    if (stamp == 0.0 || error != 0) {
      std::fprintf(stderr, "no marker within 5 s after %zu (error %d)\n", stamps.size(), error);
      break;
    }
    lsl_destroy_string(sample[0]);
    stamps.push_back(stamp);
  }
  lsl_destroy_inlet(inlet);
  if (stamps.size() < 2) return 1;

  std::vector<double> deviations;
  double sum = 0.0;
  for (std::size_t i = 1; i < stamps.size(); ++i) {
    const double interval = stamps[i] - stamps[i - 1];
    sum += interval;
    deviations.push_back(interval - kPeriod);
  }
  const auto [low, high] = std::minmax_element(deviations.begin(), deviations.end());
  double worst = 0.0;
  for (double deviation : deviations) worst = std::max(worst, std::fabs(deviation));
  const double mean = sum / static_cast<double>(deviations.size());

  std::printf("marker intervals: %zu\n", deviations.size());
  std::printf("mean interval:    %.6f s\n", mean);
  std::printf("shortest:         %+.1f us from 1 s\n", *low * 1e6);
  std::printf("longest:          %+.1f us from 1 s\n", *high * 1e6);
  std::printf("worst deviation:  %.1f us (limit %.0f us): %s\n", worst * 1e6, kTolerance * 1e6,
              worst <= kTolerance ? "within" : "OUTSIDE");
  return 0;
}
