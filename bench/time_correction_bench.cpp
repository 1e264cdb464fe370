// How well an inlet measures the clock offset to the program's outlet on
// the same host, where the true offset is 0: runs the built maroquint on
// the simulated device in real time, opens two inlets on its marker stream
// and asks each for its time correction every half second, then prints the
// estimates' mean and standard deviation per inlet and run. A measurement,
// not a test: a busy machine shows larger figures.
//
// Usage: time_correction_bench [runs [seconds]]   (defaults 4 and 40; run
// it through tools/netns-run so that its stream stays on this machine)

#include "program.h"

#include <lsl_c.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using maroquint::harness::kSourceId;
using maroquint::harness::kStartLine;
constexpr double kQueryInterval = 0.5;
constexpr int kInlets = 2;

struct Figures {
  double mean = 0;
  double sd = 0;
  double low = 0;
  double high = 0;
};

Figures Describe(const std::vector<double> &values) {
  Figures f;
  if (values.empty()) return f;
  f.low = f.high = values.front();
  for (double v : values) {
    f.mean += v / static_cast<double>(values.size());
    f.low = std::min(f.low, v);
    f.high = std::max(f.high, v);
  }
  for (double v : values) f.sd += (v - f.mean) * (v - f.mean);
  if (values.size() > 1) f.sd = std::sqrt(f.sd / static_cast<double>(values.size() - 1));
  return f;
}

// One run: false when the program or its stream did not come up.
bool Run(int run, double seconds) {
  const auto program = maroquint::harness::StartProgram("clock=realtime;wire=connected");
  if (!program->Started() || !program->ReadUntil(kStartLine)) {
    std::fprintf(stderr, "maroquint did not start: %s\n", program->Output().c_str());
    return false;
  }
  lsl_streaminfo info = nullptr;
  if (lsl_resolve_byprop(&info, 1, "source_id", kSourceId, 1, 10.0) < 1) {
    std::fprintf(stderr, "the marker stream was not found\n");
    return false;
  }
  lsl_inlet inlets[kInlets] = {};
  for (lsl_inlet &inlet : inlets) inlet = lsl_create_inlet(info, 360, 0, 1);
  lsl_destroy_streaminfo(info);
  std::vector<double> estimates[kInlets];
  std::vector<double> uncertainties[kInlets];
  bool ok = true;
  const auto start = std::chrono::steady_clock::now();
  for (int query = 0; ok && query * kQueryInterval < seconds; ++query) {
    std::this_thread::sleep_until(start + std::chrono::duration<double>(query * kQueryInterval));
    for (int i = 0; i < kInlets; ++i) {
      if (inlets[i] == nullptr) {
        ok = false;
        break;
      }
      int32_t error = 0;
      double uncertainty = 0;
      const double correction =
          lsl_time_correction_ex(inlets[i], nullptr, &uncertainty, 5.0, &error);
      if (error != 0) {
        std::fprintf(stderr, "inlet %d: no time correction (error %d)\n", i + 1, error);
        ok = false;
        break;
      }
      estimates[i].push_back(correction);
      uncertainties[i].push_back(uncertainty);
    }
  }
  for (lsl_inlet inlet : inlets) {
    if (inlet != nullptr) lsl_destroy_inlet(inlet);
  }
  if (!ok) return false;
  for (int i = 0; i < kInlets; ++i) {
    const Figures e = Describe(estimates[i]);
    const Figures u = Describe(uncertainties[i]);
    std::printf(
        "run %d inlet %d: %zu estimates over %.0f s: mean %+.1f us, sd %.1f us, from %+.1f to "
        "%+.1f us; round trip mean %.1f us\n",
        run, i + 1, estimates[i].size(), seconds, e.mean * 1e6, e.sd * 1e6, e.low * 1e6,
        e.high * 1e6, u.mean * 1e6);
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  const long runs = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 4;
  const double seconds = argc > 2 ? std::strtod(argv[2], nullptr) : 40;
  if (runs < 1 || runs > 100 || !(seconds >= 5 && seconds <= 600)) {
    std::fprintf(stderr, "runs must be from 1 to 100, seconds from 5 to 600\n");
    return 2;
  }
  std::printf("time correction to the program's outlet on this host (true value 0)\n");
  for (long run = 1; run <= runs; ++run) {
    if (!Run(static_cast<int>(run), seconds)) return 1;
  }
  return 0;
}
