// How long maroquint-align takes to test the fit's pairs for a break or a
// curve and map in segments, on three days of a pulse a second (259199
// pairs at 2048 Hz, 50 µs marker jitter): clocks that held, a clock that
// stepped 2 ms, a drift that bends by 4 ms over the three days. Prints the
// segments found beside the time.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "segments.h"

namespace {

using maroquint::align::FitSegments;
using maroquint::align::TimePair;

constexpr double kRate = 2048;
constexpr int kSeconds = 3 * 86400;
constexpr double kPi = 3.14159265358979323846;

std::vector<TimePair> Pairs(int kind) {
  std::mt19937 random(1);
  std::normal_distribution<double> jitter(0, 50e-6);
  std::uniform_real_distribution<double> phase(0, 1 / kRate);
  std::vector<TimePair> pairs;
  for (int k = 1; k < kSeconds; ++k) {
    const double edge = k + phase(random);
    double marker = 100 + edge * (1 + 1e-5) + jitter(random);
    if (kind == 1 && edge > 100000) marker += 0.002;
    if (kind == 2) marker += 0.004 * std::sin(edge / kSeconds * kPi);
    pairs.push_back({std::ceil(edge * kRate) / kRate, marker});
  }
  return pairs;
}

void Segments(benchmark::State &state) {
  const std::vector<TimePair> pairs = Pairs(static_cast<int>(state.range(0)));
  std::size_t segments = 0;
  for (auto _ : state) {
    segments = FitSegments(pairs, kRate, std::int64_t{kSeconds} * 2048).segments.size();
    benchmark::DoNotOptimize(segments);
  }
  state.counters["pairs"] = static_cast<double>(pairs.size());
  state.counters["segments"] = static_cast<double>(segments);
}
// 0: one line holds; 1: a step; 2: a slow curve.
BENCHMARK(Segments)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
