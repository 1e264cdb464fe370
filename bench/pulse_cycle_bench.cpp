// The cost of one sample step of the pulse cycle with a loopback that does
// nothing but hand the written level back, and proof that the cycle makes
// no heap allocation while it runs.

#include <benchmark/benchmark.h>

#include "allocation_counter.h"
#include "pulse_cycle.h"

using maroquint::pulse::PulseCycle;

namespace {

// A wire from output to input and nothing else: every status is success.
struct EchoLoopback {
  double wire = 0.0;
  long long steps = 0;
  long long fail_at = -1;
  DaqStatus WriteLevel(double level) {
    wire = level;
    return ++steps == fail_at ? -200279 : 0;
  }
  maroquint::base::Result<double, DaqStatus> ReadSample() { return wire; }
};

struct CountingOutlet {
  long long markers = 0;
  void PushMarker() { ++markers; }
};

void SampleStep(benchmark::State &state) {
  EchoLoopback loopback;
  CountingOutlet outlet;
  PulseCycle<EchoLoopback, CountingOutlet> cycle;
  for (auto _ : state) benchmark::DoNotOptimize(cycle.Step(outlet, loopback));
  state.counters["markers"] = static_cast<double>(outlet.markers);
  state.counters["steps/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(SampleStep);

// Whole runs of 100 cycles each, from the first write to the failed write
// that ends them, counting every operator new on the way.
void AllocationsWhileTheCycleRuns(benchmark::State &state) {
  constexpr long long kSteps = 100 * 10000;
  // The count must see an allocation to be worth anything when it sees none.
  const long long probe = AllocationsSoFar();
  int *allocated = new int(0);
  benchmark::DoNotOptimize(allocated);
  delete allocated;
  if (AllocationsSoFar() == probe) {
    state.SkipWithError("operator new is not being counted");
    return;
  }

  long long counted = 0;
  long long markers = 0;
  for (auto _ : state) {
    EchoLoopback loopback;
    loopback.fail_at = kSteps + 1;
    CountingOutlet outlet;
    PulseCycle<EchoLoopback, CountingOutlet> cycle;
    const long long before = AllocationsSoFar();
    benchmark::DoNotOptimize(cycle.Run(outlet, loopback));
    counted += AllocationsSoFar() - before;
    markers += outlet.markers;
  }
  state.counters["allocations"] = static_cast<double>(counted);
  state.counters["markers/run"] =
      static_cast<double>(markers) / static_cast<double>(state.iterations());
  state.counters["time/step"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kSteps),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (counted != 0) state.SkipWithError("the cycle allocated on the heap");
}
BENCHMARK(AllocationsWhileTheCycleRuns)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
