// Push-to-pull latency of the bundled LSL library on loopback: one outlet,
// one inlet in the same process, a marker every millisecond. Each iteration
// pushes one marker and blocks in lsl_pull_sample_str until it arrives; the
// time between the two is that marker's latency. Prints median and p99.
// Run it through tools/netns-run so that discovery stays on this machine.

#include <benchmark/benchmark.h>

#include <lsl_c.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "base/stats.h"

namespace {

void PushToPull(benchmark::State &state) {
  lsl_streaminfo info = lsl_create_streaminfo("LatencyBench", "Markers", 1, LSL_IRREGULAR_RATE,
                                              cft_string, "latency-bench-source");
  lsl_outlet outlet = lsl_create_outlet(info, 0, 360);
  lsl_streaminfo found = nullptr;
  if (outlet == nullptr || lsl_resolve_byprop(&found, 1, "name", "LatencyBench", 1, 5.0) != 1) {
    state.SkipWithError("no outlet or the stream was not found");
    lsl_destroy_outlet(outlet);
    lsl_destroy_streaminfo(info);
    return;
  }
  lsl_inlet inlet = lsl_create_inlet(found, 360, 0, 1);
  int32_t ec = 0;
  lsl_open_stream(inlet, 5.0, &ec);
  const char *marker[] = {"/Experiment Control/Synchronization/Trigger/Biosemi"};
  std::vector<double> latencies;
  latencies.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    char *value = nullptr;
    const auto start = std::chrono::steady_clock::now();
    lsl_push_sample_str(outlet, marker);
    const double ts = lsl_pull_sample_str(inlet, &value, 1, 5.0, &ec);
    const auto end = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(seconds);
    if (ts == 0.0 || ec != 0) {
      state.SkipWithError("a marker did not arrive");
      break;
    }
    lsl_destroy_string(value);
    latencies.push_back(seconds);
  }
  const double median = maroquint::base::NearestRankPercentile(latencies, 0.5) * 1e6;
  const double p99 = maroquint::base::NearestRankPercentile(latencies, 0.99) * 1e6;
  state.counters["median_us"] = median;
  state.counters["p99_us"] = p99;
  std::printf("push-to-pull latency over %zu markers: median %.1f us, p99 %.1f us\n",
              latencies.size(), median, p99);
  lsl_destroy_inlet(inlet);
  lsl_destroy_streaminfo(found);
  lsl_destroy_outlet(outlet);
  lsl_destroy_streaminfo(info);
}
BENCHMARK(PushToPull)->UseManualTime()->Iterations(5000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
