// How close the program's markers come to the true edges of its pulses, and
// how well maroquint-align recovers the amplifier's clock from a real-time
// run on the simulated device, beside the truth the simulated amplifier
// writes. A measurement, not a test: a busy machine shows larger figures.
//
// Usage: align_session [seconds [amplifier_rate [drift_ppm]]]
//        (defaults 60, 2048, 50; run through tools/netns-run)

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sync_session.h"

namespace {

double Quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const std::size_t rank = static_cast<std::size_t>(std::ceil(q * values.size()));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

int main(int argc, char **argv) {
  using namespace maroquint::align::session;
  Config config;
  config.seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 60;
  config.rate = argc > 2 ? std::atoi(argv[2]) : 2048;
  config.drift_ppm = argc > 3 ? std::strtod(argv[3], nullptr) : 50;
  if (!(config.seconds >= 5 && config.seconds <= 3600)) {
    std::fprintf(stderr, "seconds must be from 5 to 3600\n");
    return 2;
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / "maroquint-align-session-bench";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  config.dir = dir.string();

  Result result;
  std::string problem;
  if (!Record(config, result, problem)) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return 1;
  }
  std::printf("%s", result.align_output.c_str());
  if (result.align_status != 0) {
    std::fprintf(stderr, "maroquint-align failed (status %d)\n", result.align_status);
    return 1;
  }
  std::ifstream in(result.json);
  std::ostringstream text;
  text << in.rdbuf();
  const std::string json = text.str();
  const double offset = JsonNumber(json, "offset_s");
  const double drift = JsonNumber(json, "drift_ppm");
  const std::vector<double> errors = StampErrors(result);

  std::printf("\n--- against the truth (%.0f s, amplifier %d Hz, %g ppm) ---\n", config.seconds,
              config.rate, config.drift_ppm);
  std::printf("offset at the first sample: fitted - true = %+.3f ms\n",
              (offset - result.truth.t0) * 1e3);
  std::printf("drift: fitted %.2f ppm, true %.2f ppm, error %+.2f ppm\n", drift,
              result.truth.drift_ppm, drift - result.truth.drift_ppm);
  if (!errors.empty()) {
    std::vector<double> magnitudes;
    for (double e : errors) magnitudes.push_back(std::fabs(e));
    std::printf(
        "marker time stamp - true edge (%zu markers): p50 %+.3f ms, p99 %+.3f ms, max %+.3f ms "
        "(p99 of |.| %.3f ms)\n",
        errors.size(), Quantile(errors, 0.5) * 1e3, Quantile(errors, 0.99) * 1e3,
        *std::max_element(errors.begin(), errors.end()) * 1e3, Quantile(magnitudes, 0.99) * 1e3);
    for (std::size_t i = 0; i < errors.size(); ++i) {
      if (std::fabs(errors[i]) > 0.3e-3)
        std::printf("  marker %zu of %zu: %+.3f ms\n", i + 1, errors.size(), errors[i] * 1e3);
    }
  }
  std::printf("one amplifier sample: %.3f ms\n", 1e3 / config.rate);
  std::printf("files: %s\n", config.dir.c_str());
  return 0;
}
